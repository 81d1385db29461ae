#pragma once

#include "VarnelKit/Transport/PrinterTarget.hpp"
#include "VarnelKit/Transport/PrinterWriting.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace varnel {

// Sends label data straight to a printer's raw port over TCP: one connection per job, every byte
// pushed, connection closed. A write is done only once the printer has acknowledged every byte, so
// that a label cut off by a reset is never taken for printed. Stateless, so one object serves any
// number of calls at once.
//
// A cancelled caller: before any byte was handed to the socket (while connecting), both operations
// throw OperationCancelled, never a printer fault. Once bytes have left, a write that is cancelled
// ends the connection at once and fails with a JobError naming how many bytes the printer took: the
// label may be half out of the printer, and the caller must not send it again as if untouched.
class NetworkPrinterTransport final : public PrinterWriting {
public:
    using Duration = std::chrono::steady_clock::duration;

    static constexpr Duration defaultConnectTimeout = std::chrono::seconds(5);
    static constexpr Duration defaultWriteTimeout = std::chrono::seconds(30);

    NetworkPrinterTransport(std::string host, std::int64_t port, Duration connectTimeout, Duration writeTimeout);
    // Host and port from the target's address, 5 s to connect and 30 s to write; nothing when the
    // address cannot be split.
    static std::shared_ptr<NetworkPrinterTransport> make(const PrinterTarget& target);

    const std::string& host() const noexcept { return host_; }
    std::int64_t port() const noexcept { return port_; }
    Duration connectTimeout() const noexcept { return connectTimeout_; }
    Duration writeTimeout() const noexcept { return writeTimeout_; }

    // A port outside 0...65535 fails as printerUnreachable with invalidPortText(), connecting to
    // nothing.
    Awaitable<std::int64_t> write(Bytes data, std::string jobTitle) override;
    // True when a connection becomes ready within the connect time-out; sends nothing. False at
    // once for a port outside 0...65535.
    Awaitable<bool> probe() override;

    // The port the socket uses; none for one outside 0...65535, which names no TCP port (taking
    // the nearest would print on a port no one chose).
    static std::optional<unsigned short> socketPort(std::int64_t port);
    // "Invalid port 70000": why a printer at such a port cannot be reached.
    static std::string invalidPortText(std::int64_t port);
    // "5.0 seconds", "0.5 seconds": how durations read in this transport's messages.
    static std::string secondsText(Duration duration);

private:
    std::string host_;
    std::int64_t port_;
    Duration connectTimeout_;
    Duration writeTimeout_;
};

} // namespace varnel

#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace varnel::testing {

// A raw-port label printer on 127.0.0.1 (an ephemeral port), on a thread of its own, that keeps
// the bytes of every connection. Its receive buffer is small and fixed, so a printer that stops
// reading holds up its sender after a predictable amount of data. Every method may be called from
// any thread; a mode applies to the connections accepted after it was set.
class RawTestPrinter {
public:
    enum class Mode {
        accept, // reads every connection to its end
        refuse, // nothing listens: connections are refused
        stall,  // reads `limit` bytes, then stops reading and keeps the socket open until resume()
        drop,   // reads `limit` bytes, then resets the connection
    };

    using Clock = std::chrono::steady_clock;

    struct Connection {
        std::string bytes;
        // When the printer accepted it, and when it ended (the moment its last byte was in, for a
        // job that ended cleanly): for latency figures taken on the printer's side.
        Clock::time_point acceptedAt{};
        std::optional<Clock::time_point> closedAt;
        bool open = true;
        // The sender closed after its last byte, rather than a reset, an error or a cut of ours.
        bool endedCleanly = false;
        bool stalled = false; // stopped reading at its limit (and not resumed since)
        bool dropped = false; // reset by the printer

        // A reachability check: connected and closed again without a byte.
        bool isProbe() const { return !open && bytes.empty() && !dropped; }
    };

    struct Snapshot {
        std::vector<Connection> connections; // in the order they were accepted

        std::size_t probes() const;
        // The connections that carried data: one per print job.
        std::vector<Connection> jobs() const;
        std::size_t bytesReceived() const;
    };

    // The receive buffer every accepted socket has.
    static constexpr int receiveBufferSize = 64 * 1024;

    explicit RawTestPrinter(Mode mode = Mode::accept, std::size_t limit = 0);
    ~RawTestPrinter();
    RawTestPrinter(const RawTestPrinter&) = delete;
    RawTestPrinter& operator=(const RawTestPrinter&) = delete;

    unsigned short port() const;
    std::string address() const; // 127.0.0.1:<port>
    std::string key() const;     // net:127.0.0.1:<port>, the agent's key of this printer

    // Leaving refuse listens again on the same port.
    void setMode(Mode mode, std::size_t limit = 0);
    Mode mode() const;
    // Stalled connections read on to their end.
    void resume();

    Snapshot snapshot() const;
    // Waits until `condition` holds for the recorded state (checked at every change); false when
    // the time ran out first. The condition runs under the printer's lock: it must not call back.
    bool waitFor(const std::function<bool(const Snapshot&)>& condition, std::chrono::milliseconds limit) const;
    // Waits until the first job has stopped reading part-way, as a printer in stall mode does.
    bool waitForTheFirstJobToStall(std::chrono::milliseconds limit) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// ZPL labels, one a line, the last without a line feed, of at least `bytes` in all: with more than
// the printer's window and a sender's socket buffer hold together, a printer that stops reading or
// drops the connection does so while the sender is still writing.
std::string labelsOfAtLeast(std::size_t bytes);

} // namespace varnel::testing

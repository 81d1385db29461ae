#pragma once

#include "Bench/ManagementTestServer.hpp"
#include "Bench/PusherTestServer.hpp"
#include "Bench/RawTestPrinter.hpp"
#include "VarnelKit/Agent/AgentSettings.hpp"

#include <chrono>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace varnel::testing {

struct TestBenchOptions {
    PusherServerOptions pusher;
    ManagementServerOptions management;
};

// Everything an enrolled agent talks to, on loopback: the Pusher channel server, the management
// API (which announces jobs on that channel and signs its subscriptions) and any number of raw
// printers. Every method may be called from any thread.
class TestBench {
public:
    using Options = TestBenchOptions;

    explicit TestBench(Options options = {});
    ~TestBench();
    TestBench(const TestBench&) = delete;
    TestBench& operator=(const TestBench&) = delete;

    PusherTestServer& pusher() { return pusher_; }
    ManagementTestServer& management() { return management_; }

    // A new printer, kept until the bench goes; references stay valid.
    RawTestPrinter& addPrinter(RawTestPrinter::Mode mode = RawTestPrinter::Mode::accept, std::size_t limit = 0);
    // A new printer for each name, which the management server assigns to the device as a network
    // ZPL printer of that name, in that order.
    void assignPrinters(const std::vector<std::string>& names);
    // Throws std::out_of_range for an index no printer has.
    RawTestPrinter& printer(std::size_t index);
    std::size_t printerCount() const;

    // The settings of the enrolled device: the management server's HTTPS address, and the channel
    // over wss:// to the Pusher server's TLS port with its key.
    AgentSettings agentSettings() const;
    const std::string& token() const { return management_.options().token; }
    // The authority to trust (SSL_CERT_FILE) for both servers.
    static std::filesystem::path caFile();

    // Both servers go down together, stay down for `downtime`, and come back on the same ports.
    void restart(std::chrono::milliseconds downtime = std::chrono::milliseconds(0));

private:
    PusherTestServer pusher_;
    ManagementTestServer management_;
    mutable std::mutex printersLock_;
    std::deque<std::unique_ptr<RawTestPrinter>> printers_;
};

} // namespace varnel::testing

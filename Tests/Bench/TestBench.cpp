#include "Bench/TestBench.hpp"

#include "Bench/TestCertificates.hpp"
#include "VarnelKit/Support/Url.hpp"

#include <stdexcept>

namespace varnel::testing {

TestBench::TestBench(Options options)
    : pusher_(std::move(options.pusher)), management_(pusher_, std::move(options.management)) {}

TestBench::~TestBench() = default;

RawTestPrinter& TestBench::addPrinter(RawTestPrinter::Mode mode, std::size_t limit) {
    auto printer = std::make_unique<RawTestPrinter>(mode, limit);
    std::lock_guard lock(printersLock_);
    printers_.push_back(std::move(printer));
    return *printers_.back();
}

void TestBench::assignPrinters(const std::vector<std::string>& names) {
    nlohmann::json assigned = nlohmann::json::array();
    for (const auto& name : names) {
        const auto& printer = addPrinter();
        assigned.push_back({{"key", printer.key()},
                            {"name", name},
                            {"transport", "network"},
                            {"language", "zpl"},
                            {"address", printer.address()}});
    }
    management_.setAssignedPrinters(std::move(assigned));
}

RawTestPrinter& TestBench::printer(std::size_t index) {
    std::lock_guard lock(printersLock_);
    return *printers_.at(index);
}

std::size_t TestBench::printerCount() const {
    std::lock_guard lock(printersLock_);
    return printers_.size();
}

AgentSettings TestBench::agentSettings() const {
    AgentSettings settings;
    settings.deviceId = management_.options().deviceId;
    settings.deviceName = management_.options().deviceName;
    settings.serverURL = *parseAbsoluteUrl(management_.baseUrl());
    settings.reverb = ReverbSettings{pusher_.options().key, "127.0.0.1", pusher_.wssPort(), "wss"};
    return settings;
}

std::filesystem::path TestBench::caFile() {
    return TestCertificates::shared().caFile;
}

void TestBench::restart(std::chrono::milliseconds downtime) {
    management_.restart(downtime);
}

} // namespace varnel::testing

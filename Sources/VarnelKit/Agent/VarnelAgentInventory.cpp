#include "VarnelKit/Agent/VarnelAgent.hpp"

#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/NumberText.hpp"

#include <algorithm>
#include <exception>
#include <set>
#include <utility>

namespace varnel {

namespace {

bool sameKeys(const std::vector<ReportedPrinter>& a, const std::vector<ReportedPrinter>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const ReportedPrinter& x, const ReportedPrinter& y) { return x.key == y.key; });
}

} // namespace

std::vector<ReportedPrinter> VarnelAgent::merge(const std::vector<ReportedPrinter>& discovered,
                                                const std::vector<ReportedPrinter>& assigned) {
    // The discovered keys only, taken once: repeated keys among the assigned printers all stay.
    std::set<std::string> discoveredKeys;
    for (const auto& printer : discovered)
        discoveredKeys.insert(printer.key);
    std::vector<ReportedPrinter> merged = discovered;
    for (const auto& printer : assigned) {
        if (discoveredKeys.count(printer.key) == 0)
            merged.push_back(printer);
    }
    return merged;
}

Awaitable<void> VarnelAgent::rescanPrinters() {
    const auto self = shared_from_this();
    // libcups blocks until the scheduler answers; the pool thread gets its own copy of the
    // discovery, so nothing it touches can go away under it, and a stop need not wait for it.
    auto discover = [discovery = discovery_] { return discovery.discoverCupsPrinters(); };
    auto discovered = co_await runBlockingCancellable(std::move(discover));
    auto assigned = co_await fetchAssignedPrinters();
    auto merged = merge(discovered, assigned);
    auto probed = co_await probe_.probeAll(std::move(merged));
    co_await publish(std::move(probed));
}

Awaitable<std::vector<ReportedPrinter>> VarnelAgent::fetchAssignedPrinters() {
    std::exception_ptr failure;
    try {
        co_return co_await api_->assignedPrinters(settings_.deviceId);
    } catch (...) {
        failure = std::current_exception();
    }
    logger_->debug("Could not fetch assigned printers: " + describeException(failure));
    // The network printers the server assigned last time; CUPS queues come back from discovery.
    std::vector<ReportedPrinter> fallback;
    for (const auto& printer : lastReportedPrinters_) {
        if (printer.transport == PrinterTransport::network)
            fallback.push_back(printer);
    }
    co_return fallback;
}

Awaitable<void> VarnelAgent::publish(std::vector<ReportedPrinter> printers) {
    // The resolver first: a job that starts now finds the printers that are about to be reported.
    resolver_->update(printers);
    lastReportedPrinters_ = printers;
    const auto total = printers.size();
    const auto online = std::count_if(printers.begin(), printers.end(),
                                      [](const ReportedPrinter& printer) { return printer.status == "online"; });
    try {
        co_await api_->syncPrinters(settings_.deviceId, std::move(printers));
        logger_->info("Reported " + NumberText::integer(static_cast<std::int64_t>(total)) + " printer(s), " +
                      NumberText::integer(static_cast<std::int64_t>(online)) + " online");
    } catch (...) {
        // Not retried: the next publish sends the whole list again.
        logger_->error("Printer sync failed: " + describeException(std::current_exception()));
    }
}

Awaitable<void> VarnelAgent::refreshPrinterStatus() {
    const auto self = shared_from_this();
    const auto snapshot = lastReportedPrinters_;
    if (snapshot.empty())
        co_return;
    auto probed = co_await probe_.probeAll(snapshot);
    // A rescan published while the probes ran: its list is newer than this pass.
    if (!sameKeys(lastReportedPrinters_, snapshot)) {
        logger_->debug("Printer list changed while probing; discarding this pass");
        co_return;
    }
    bool changed = false;
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        if (snapshot[i].status != probed[i].status || snapshot[i].statusMessage != probed[i].statusMessage)
            changed = true;
    }
    if (!changed) {
        lastReportedPrinters_ = probed;
        resolver_->update(lastReportedPrinters_);
        co_return;
    }
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        if (snapshot[i].status == probed[i].status)
            continue;
        std::string line = "Printer " + probed[i].key + ": " + snapshot[i].status + " -> " + probed[i].status;
        if (probed[i].statusMessage)
            line += " (" + *probed[i].statusMessage + ")";
        logger_->info(line);
    }
    co_await publish(std::move(probed));
}

// MARK: Loop passes

Awaitable<bool> VarnelAgent::rescanPass(VarnelAgent& agent) {
    co_await agent.rescanPrinters();
    co_return true;
}

Awaitable<bool> VarnelAgent::statusPass(VarnelAgent& agent) {
    co_await agent.refreshPrinterStatus();
    co_return true;
}

} // namespace varnel

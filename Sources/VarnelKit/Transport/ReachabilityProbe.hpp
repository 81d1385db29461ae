#pragma once

#include "VarnelKit/Platform/CupsApi.hpp"
#include "VarnelKit/Platform/ServiceResolving.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// Tells whether each printer can be reached now and, if not, why. Network printers get a TCP
// check; CUPS and USB printers are checked through their queue and then its device's endpoint.
// A plain value: one probe serves any number of checks at once.
class ReachabilityProbe {
public:
    struct Result {
        std::string status; // "online", "offline" or "error"
        std::optional<std::string> message;
        bool operator==(const Result&) const = default;
    };

    explicit ReachabilityProbe(std::chrono::steady_clock::duration timeout,
                               std::shared_ptr<CupsApi> cups = systemCupsApi(),
                               std::shared_ptr<ServiceResolving> bonjour = systemServiceResolver());

    std::chrono::steady_clock::duration timeout() const noexcept { return timeout_; }

    // Every printer probed at once; the list comes back in its order with status and message
    // brought up to date (a result without a message keeps the old one). Never throws: when the
    // calling task is cancelled, the printers not yet probed come back as they were.
    Awaitable<std::vector<ReportedPrinter>> probeAll(std::vector<ReportedPrinter> printers) const;
    // Fails only with OperationCancelled, when the calling task is cancelled: a stop is no finding.
    Awaitable<Result> probe(ReportedPrinter printer) const;
    // A CUPS queue by name; `printerName` is how a fault message names the printer.
    Awaitable<Result> probeQueue(std::string queue, std::string printerName) const;

    // Whether a CUPS state message says the device is gone or cannot be reached.
    static bool indicatesDisconnected(std::string_view message);
    // The printer as the probe leaves it: status and, when the result has one, message replaced.
    static ReportedPrinter applying(ReportedPrinter printer, const Result& result);

private:
    Awaitable<Result> probeNetwork(ReportedPrinter printer) const;
    Awaitable<bool> tcpCheck(std::string host, std::int64_t port) const;

    std::chrono::steady_clock::duration timeout_;
    std::shared_ptr<CupsApi> cups_;
    std::shared_ptr<ServiceResolving> bonjour_;
};

std::string describe(const ReachabilityProbe::Result& result);

} // namespace varnel

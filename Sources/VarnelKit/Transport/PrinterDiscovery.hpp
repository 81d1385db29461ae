#pragma once

#include "VarnelKit/Platform/CupsApi.hpp"
#include "VarnelKit/Protocol/PrinterLanguage.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// Lists the computer's CUPS queues as printers the agent can report, with the label language each
// most likely speaks. Reads CUPS only; sends nothing to a printer.
class PrinterDiscovery {
public:
    explicit PrinterDiscovery(std::shared_ptr<CupsApi> api = systemCupsApi());

    // One printer per CUPS queue, in CUPS's order; never fails (no scheduler gives none). Blocks on
    // the scheduler: call it on the blocking pool. Instances of a queue are left out: they share
    // the queue's key.
    std::vector<ReportedPrinter> discoverCupsPrinters() const;

    static PrinterLanguage inferLanguage(std::string_view deviceId, std::string_view printerName);

private:
    std::shared_ptr<CupsApi> api_;
};

} // namespace varnel

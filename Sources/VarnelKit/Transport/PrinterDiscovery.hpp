#pragma once

#include "VarnelKit/Platform/CupsApi.hpp"
#include "VarnelKit/Protocol/PrinterLanguage.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"

#include <functional>
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
    // For a printer that prints DYMO raster: the advice to show about the model that the text
    // (display name and device description) names, or none when it names no known model.
    using DocumentPrinterAdvice = std::function<std::optional<std::string>(const std::string& text)>;

    explicit PrinterDiscovery(std::shared_ptr<CupsApi> api = systemCupsApi(), DocumentPrinterAdvice advice = {});

    // One printer per CUPS queue, in CUPS's order; never fails (no scheduler gives none). Blocks on
    // the scheduler: call it on the blocking pool. Instances of a queue are left out: they share
    // the queue's key.
    std::vector<ReportedPrinter> discoverCupsPrinters() const;

    static PrinterLanguage inferLanguage(std::string_view deviceId, std::string_view printerName);

private:
    std::shared_ptr<CupsApi> api_;
    DocumentPrinterAdvice advice_;
};

} // namespace varnel

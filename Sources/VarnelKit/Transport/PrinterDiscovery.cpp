#include "VarnelKit/Transport/PrinterDiscovery.hpp"

#include "VarnelKit/Language/DymoModel.hpp"

#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/Transport/CupsQueueProbe.hpp"
#include "VarnelKit/Transport/CupsQueueState.hpp"

#include <chrono>

namespace varnel {

namespace {

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

} // namespace

PrinterDiscovery::PrinterDiscovery(std::shared_ptr<CupsApi> api) : api_(std::move(api)) {}

PrinterLanguage PrinterDiscovery::inferLanguage(std::string_view deviceId, std::string_view printerName) {
    std::string joined(deviceId);
    joined += ' ';
    joined += printerName;
    const auto text = Text::uppercased(joined);
    const std::string_view whole = text;

    // The command-set field of an IEEE 1284 device id, when it names a language, decides first.
    if (const auto start = whole.find("CMD:"); start != std::string_view::npos) {
        auto field = whole.substr(start + 4);
        field = field.substr(0, field.find(';'));
        if (contains(field, "TSPL")) return PrinterLanguage::tspl2;
        if (contains(field, "ZPL") || contains(field, "EPL")) return PrinterLanguage::zpl;
    }
    if (contains(whole, "TSPL")) return PrinterLanguage::tspl2;
    if (contains(whole, "ZPL") || contains(whole, "ZEBRA")) return PrinterLanguage::zpl;
    if (contains(whole, "XPRINTER") || contains(whole, "TSC ")) return PrinterLanguage::tspl2;
    if (contains(whole, "DYMO") || contains(whole, "LABELWRITER")) return PrinterLanguage::dymoRaster;
    return PrinterLanguage::unknown;
}

std::vector<ReportedPrinter> PrinterDiscovery::discoverCupsPrinters() const {
    std::vector<ReportedPrinter> printers;
    const auto destinations = api_->destinations();
    if (destinations.empty()) return printers;
    const auto jobs = CupsQueueProbe::pendingJobsByQueue(*api_);

    for (const auto& destination : destinations) {
        if (!destination.name || destination.instance) continue;
        const auto& queue = *destination.name;
        const auto options = CupsQueueState::readOptions(destination.options);
        const auto makeAndModel = CupsQueueState::option(options, "printer-make-and-model");
        const auto deviceURI = CupsQueueState::option(options, "device-uri");
        const auto deviceId = makeAndModel ? *makeAndModel : deviceURI.value_or("");
        const auto displayName = CupsQueueState::option(options, "printer-info").value_or(queue);
        const auto language = inferLanguage(deviceId, queue);
        const bool accepting = CupsQueueState::acceptsJobs(options);
        const bool stopped = CupsQueueState::printerState(options) == 5;

        std::optional<std::string> statusMessage;
        // A DYMO printer prints through its vendor's driver: the hint about that beats the CUPS text.
        if (language == PrinterLanguage::dymoRaster) {
            if (const auto model = DymoModels::fromName(displayName + " " + deviceId)) {
                statusMessage = supportMessage(*model);
            }
        }
        if (!statusMessage) {
            statusMessage = CupsQueueState::option(options, "printer-state-message");
            if (statusMessage && statusMessage->empty()) statusMessage.reset();
        }

        const auto found = jobs.find(queue);
        const auto figures = found == jobs.end() ? std::nullopt : std::optional(found->second);
        printers.push_back(ReportedPrinter{
            "cups:" + queue,
            displayName,
            PrinterTransport::cups,
            language,
            deviceURI,
            language == PrinterLanguage::dymoRaster ? std::optional<std::int64_t>(300) : std::nullopt,
            (!accepting || stopped) ? "error" : "online",
            statusMessage,
            true,
            CupsQueueProbe::make(queue, makeAndModel, deviceURI, accepting, stopped, figures,
                                 std::chrono::system_clock::now()),
        });
    }
    return printers;
}

} // namespace varnel

#include "CLI.hpp"
#include "VarnelKit/Language/LabelLanguageDrivers.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/WireEnum.hpp"
#include "VarnelKit/Transport/TestLabelPrint.hpp"

namespace varnel::CLI {

namespace {

std::string mark(const std::string& status) {
    if (status == "online")
        return "●";
    if (status == "error")
        return "▲";
    return "○";
}

// A detail line of a printer's block: the value starts in column 15.
std::string detail(std::string label, const std::string& value) {
    label.resize(10, ' ');
    return "    " + label + value;
}

Awaitable<std::vector<ReportedPrinter>> discover(const Services& services) {
    auto discoverPrinters = services.discoverPrinters;
    co_return co_await runBlocking(std::move(discoverPrinters));
}

} // namespace

Awaitable<void> printers(Environment& environment) {
    std::vector<ReportedPrinter> found = co_await discover(environment.services);
    if (found.empty()) {
        print(environment.out, "No CUPS printers found.");
        co_return;
    }
    print(environment.out,
          "Probing " + NumberText::integer(static_cast<std::int64_t>(found.size())) + " printer(s)…\n");
    const std::vector<ReportedPrinter> probed = co_await environment.services.probePrinters(std::move(found));
    for (const auto& printer : probed) {
        print(environment.out,
              "  " + mark(printer.status) + " " + shown(printer.name) + "  [" + shown(printer.status) + "]");
        print(environment.out, detail("key", shown(printer.key)));
        std::string language(rawValue(printer.language));
        if (printer.language == PrinterLanguage::unknown)
            language += "  (not supported yet)";
        print(environment.out, detail("language", language));
        print(environment.out, detail("transport", std::string(rawValue(printer.transport))));
        if (printer.address)
            print(environment.out, detail("address", shown(*printer.address)));
        if (printer.statusMessage)
            print(environment.out, detail("detail", shown(*printer.statusMessage)));
        print(environment.out, "");
    }
}

Awaitable<void> testPrint(const Options& options, Environment& environment) {
    const std::string* keyValue = options.value("printer");
    if (!keyValue)
        throw CLIError::usage("--printer <key> is required (see: varnel-agent printers)");
    const std::string key = *keyValue;

    std::vector<ReportedPrinter> found = co_await discover(environment.services);
    const ReportedPrinter* match = nullptr;
    for (const auto& printer : found) {
        if (printer.key == key) {
            match = &printer;
            break;
        }
    }

    // A language the option names exactly wins; any other text counts as not given.
    PrinterLanguage language = match ? match->language : PrinterLanguage::unknown;
    if (const std::string* given = options.value("language")) {
        if (const auto named = fromRawValue<PrinterLanguage>(*given))
            language = *named;
    }
    const auto driver = LabelLanguageDrivers::driver(language);
    if (!driver) {
        throw CLIError::message("Don't know how to print " + std::string(rawValue(language)) +
                                ". Pass --language zpl or --language tspl2.");
    }
    const std::string printerName = match ? match->name : key;

    std::string resolveKey = key;
    auto cups = environment.services.cups;
    const auto transport = co_await TestLabelPrint::transport(found, std::move(resolveKey), std::move(cups));
    if (!transport)
        throw CLIError::message("No transport available for " + key);

    Bytes data = TestLabelPrint::label(*driver, printerName);
    print(environment.out, "Sending " + NumberText::integer(static_cast<std::int64_t>(data.size())) +
                               " bytes of " + std::string(rawValue(language)) + " to " + shown(key) + "…");
    const std::int64_t written = co_await TestLabelPrint::send(transport, std::move(data), language);
    print(environment.out, "Wrote " + NumberText::integer(written) + " bytes.");
}

} // namespace varnel::CLI

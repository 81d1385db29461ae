#include "VarnelKit/Transport/TestLabelPrint.hpp"

#include "VarnelKit/Language/LabelLanguageDriver.hpp"
#include "VarnelKit/Support/Iso8601.hpp"
#include "VarnelKit/Transport/CupsPrinterTransport.hpp"
#include "VarnelKit/Transport/DefaultTransportResolver.hpp"

#include <chrono>
#include <utility>

namespace varnel {

Awaitable<std::shared_ptr<PrinterWriting>> TestLabelPrint::transport(std::vector<ReportedPrinter> printers,
                                                                      std::string key,
                                                                      std::shared_ptr<CupsApi> cups) {
    const auto resolver = std::make_shared<DefaultTransportResolver>(std::move(cups));
    resolver->update(printers);
    co_return co_await resolver->transport(std::move(key));
}

Bytes TestLabelPrint::label(const LabelLanguageDriver& driver, const std::string& printerName) {
    return driver.testLabel(printerName, Iso8601::wholeSeconds(std::chrono::system_clock::now()));
}

Awaitable<std::int64_t> TestLabelPrint::send(std::shared_ptr<PrinterWriting> transport, Bytes data,
                                             PrinterLanguage language) {
    std::string title(jobTitle);
    if (const auto cups = std::dynamic_pointer_cast<CupsPrinterTransport>(transport); cups && isDocument(language))
        co_return co_await cups->write(std::move(data), std::move(title), CupsPrinterTransport::DocumentFormat::pdf, 1);
    co_return co_await transport->write(std::move(data), std::move(title));
}

} // namespace varnel

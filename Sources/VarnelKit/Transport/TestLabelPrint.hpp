#pragma once

#include "VarnelKit/Protocol/PrinterLanguage.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"
#include "VarnelKit/Platform/CupsApi.hpp"
#include "VarnelKit/Support/Bytes.hpp"
#include "VarnelKit/Support/Task.hpp"
#include "VarnelKit/Transport/PrinterWriting.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

class LabelLanguageDriver;

// A test label sent straight to one printer, without the server, as both programs offer it: the
// driver's test label naming the printer and the time, through a transport found for the key.
class TestLabelPrint {
public:
    static constexpr std::string_view jobTitle = "Varnel test label";

    // A fresh resolver fed with `printers` (the first of a key wins) finds the way to `key`; a key
    // it does not know is resolved by its prefix. None for a key no transport can be made for.
    static Awaitable<std::shared_ptr<PrinterWriting>> transport(std::vector<ReportedPrinter> printers,
                                                                std::string key,
                                                                std::shared_ptr<CupsApi> cups = systemCupsApi());

    // The driver's test label for `printerName`, stamped with the current time in whole seconds.
    static Bytes label(const LabelLanguageDriver& driver, const std::string& printerName);

    // Sends the label and gives the bytes handed over. A document language (PDF, DYMO) through
    // CUPS goes as a PDF job for the queue's driver to render; everything else is the plain write.
    // Throws the transport's JobError.
    static Awaitable<std::int64_t> send(std::shared_ptr<PrinterWriting> transport, Bytes data,
                                        PrinterLanguage language);
};

} // namespace varnel

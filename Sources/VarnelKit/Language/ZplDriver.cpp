#include "VarnelKit/Language/ZplDriver.hpp"

#include "VarnelKit/Language/DriverSupport.hpp"

namespace varnel {

Bytes ZplDriver::prepare(const Bytes& data, std::int64_t copies) const {
    const std::string trimmed = DriverSupport::trimmedText(data, "ZPL");
    DriverSupport::requireCopies(copies);
    const ZplParser::Analysis analysis = parser.analyse(trimmed);
    if (analysis.isEmpty()) {
        DriverSupport::refuse("No ZPL commands found \u2014 expected a ^XA\u2026^XZ label or a ~ control command");
    }
    if (analysis.hasUnterminatedLabel) {
        DriverSupport::refuse("A ^XA label was never closed with ^XZ, so the printer would wait forever");
    }
    if (analysis.hasStrayText) {
        DriverSupport::refuse("Text found outside any ^XA\u2026^XZ label \u2014 is this really ZPL?");
    }
    const std::int64_t times = copies != 1 && analysis.isRepeatable() ? copies : 1;
    return DriverSupport::repeated(trimmed + "\n", times);
}

std::string ZplDriver::escape(std::string_view text) { return DriverSupport::withoutLineBreaksOr(text, "^~"); }

Bytes ZplDriver::testLabel(const std::string& printerName, const std::string& timestamp) const {
    return bytesOf("^XA\n"
                   "^FO30,30^A0N,36,36^FDVarnel test^FS\n"
                   "^FO30,80^A0N,24,24^FD" +
                   escape(printerName) +
                   "^FS\n"
                   "^FO30,120^A0N,24,24^FD" +
                   escape(timestamp) +
                   "^FS\n"
                   "^XZ");
}

} // namespace varnel

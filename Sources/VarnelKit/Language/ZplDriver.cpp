#include "VarnelKit/Language/ZplDriver.hpp"

#include "VarnelKit/Language/DriverSupport.hpp"

namespace varnel {

Bytes ZplDriver::prepare(const Bytes& data, std::int64_t copies) const {
    const std::string trimmed = DriverSupport::trimmedText(data, "ZPL");
    DriverSupport::requireCopies(copies);
    const ZplParser::Analysis analysis = parser.analyse(trimmed);
    if (analysis.isEmpty()) {
        DriverSupport::refuse(DriverSupport::Refusal::noZplCommands);
    }
    if (analysis.hasUnterminatedLabel) {
        DriverSupport::refuse(DriverSupport::Refusal::unterminatedZplLabel);
    }
    if (analysis.hasStrayText) {
        DriverSupport::refuse(DriverSupport::Refusal::textOutsideZplLabel);
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

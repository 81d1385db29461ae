#include "VarnelKit/Language/Tspl2Driver.hpp"

#include "VarnelKit/Language/DriverSupport.hpp"
#include "VarnelKit/Support/Text.hpp"

namespace varnel {

Bytes Tspl2Driver::prepare(const Bytes& data, std::int64_t copies) const {
    const std::string trimmed = DriverSupport::trimmedText(data, "TSPL2");
    DriverSupport::requireCopies(copies);
    if (Text::uppercased(trimmed).find("PRINT") == std::string::npos) {
        DriverSupport::refuse(DriverSupport::Refusal::noTsplPrint);
    }
    return DriverSupport::repeated(normaliseLineEndings(trimmed), copies);
}

std::string Tspl2Driver::normaliseLineEndings(std::string_view text) {
    // CR and LF are characters of their own in UTF-8 and as user-perceived characters, so the
    // bytes can be rewritten directly.
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += "\r\n";
        } else {
            out += c;
        }
    }
    out += "\r\n";
    return out;
}

std::string Tspl2Driver::escape(std::string_view text) { return DriverSupport::withoutLineBreaksOr(text, "\"\\"); }

namespace {
std::string textLine(std::string_view position, char font, std::string_view content) {
    return "TEXT " + std::string(position) + ",\"" + font + "\",0,1,1,\"" + std::string(content) + "\"";
}
} // namespace

Bytes Tspl2Driver::testLabel(const std::string& printerName, const std::string& timestamp) const {
    const std::string program = "SIZE 4,2\n"
                                "GAP 0.12,0\n"
                                "DIRECTION 1\n"
                                "CLS\n" +
                                textLine("30,30", '3', "Varnel test") + "\n" +
                                textLine("30,80", '2', escape(printerName)) + "\n" +
                                textLine("30,120", '2', escape(timestamp)) + "\n" + "PRINT 1,1";
    return bytesOf(normaliseLineEndings(program));
}

} // namespace varnel

#pragma once

#include "VarnelKit/Language/LabelLanguageDriver.hpp"

#include <string>
#include <string_view>

namespace varnel {

class Tspl2Driver final : public LabelLanguageDriver {
public:
    PrinterLanguage language() const noexcept override { return PrinterLanguage::tspl2; }

    // The trimmed program with CR LF line ends, repeated for the copies; the PRINT commands inside
    // are left as they are.
    Bytes prepare(const Bytes& data, std::int64_t copies) const override;
    Bytes testLabel(const std::string& printerName, const std::string& timestamp) const override;

    // Every CR LF, CR and LF becomes one CR LF, and the last line is ended by one too. Other line
    // separators are left alone.
    static std::string normaliseLineEndings(std::string_view text);
    // A caller's text made safe inside a quoted argument: no double quote, no backslash, no line
    // breaks.
    static std::string escape(std::string_view text);
};

} // namespace varnel

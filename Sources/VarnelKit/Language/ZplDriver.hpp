#pragma once

#include "VarnelKit/Language/LabelLanguageDriver.hpp"
#include "VarnelKit/Language/ZplParser.hpp"

#include <string>
#include <string_view>

namespace varnel {

class ZplDriver final : public LabelLanguageDriver {
public:
    PrinterLanguage language() const noexcept override { return PrinterLanguage::zpl; }

    // The trimmed payload and one LF, repeated for the copies when it holds a label; a payload of
    // control commands only goes once. ^PQ in the payload is left as it is.
    Bytes prepare(const Bytes& data, std::int64_t copies) const override;
    Bytes testLabel(const std::string& printerName, const std::string& timestamp) const override;

    // A caller's text made safe to stand in a field: no ^, no ~, no line breaks.
    static std::string escape(std::string_view text);

    ZplParser parser;
};

} // namespace varnel

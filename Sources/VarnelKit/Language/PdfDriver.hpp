#pragma once

#include "VarnelKit/Language/LabelLanguageDriver.hpp"

#include <string>

namespace varnel {

// Documents: PDF printers, and DYMO LabelWriters, which print PDF through their CUPS driver.
class PdfDriver final : public LabelLanguageDriver {
public:
    PrinterLanguage language() const noexcept override { return PrinterLanguage::pdf; }

    // The document unchanged: its copies go to the print system with it, never into the data.
    Bytes prepare(const Bytes& data, std::int64_t copies) const override;
    // A fixed one-page document, whatever the printer and time.
    Bytes testLabel(const std::string& printerName, const std::string& timestamp) const override;
};

} // namespace varnel

#include "VarnelKit/Language/LabelLanguageDrivers.hpp"

#include "VarnelKit/Language/PdfDriver.hpp"
#include "VarnelKit/Language/Tspl2Driver.hpp"
#include "VarnelKit/Language/ZplDriver.hpp"

namespace varnel::LabelLanguageDrivers {

std::shared_ptr<const LabelLanguageDriver> driver(PrinterLanguage language) {
    // Drivers keep no state, so one of each serves every caller.
    static const auto zpl = std::make_shared<const ZplDriver>();
    static const auto tspl2 = std::make_shared<const Tspl2Driver>();
    static const auto pdf = std::make_shared<const PdfDriver>();
    switch (language) {
    case PrinterLanguage::zpl: return zpl;
    case PrinterLanguage::tspl2: return tspl2;
    case PrinterLanguage::dymoRaster:
    case PrinterLanguage::pdf: return pdf;
    case PrinterLanguage::unknown: break;
    }
    return nullptr;
}

} // namespace varnel::LabelLanguageDrivers

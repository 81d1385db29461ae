#pragma once

#include "VarnelKit/Language/LabelLanguageDriver.hpp"
#include "VarnelKit/Protocol/PrinterLanguage.hpp"

#include <memory>

namespace varnel::LabelLanguageDrivers {

// The driver of a language: ZPL and TSPL2 their own, both document languages (pdf, dymo_raster)
// the PDF driver; none for unknown.
std::shared_ptr<const LabelLanguageDriver> driver(PrinterLanguage language);

} // namespace varnel::LabelLanguageDrivers

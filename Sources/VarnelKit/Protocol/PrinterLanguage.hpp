#pragma once

#include <array>
#include <string>
#include <string_view>

namespace varnel {

enum class PrinterLanguage { zpl, tspl2, dymoRaster, pdf, unknown };

constexpr std::array<PrinterLanguage, 5> allCases(PrinterLanguage) {
    return {PrinterLanguage::zpl, PrinterLanguage::tspl2, PrinterLanguage::dymoRaster, PrinterLanguage::pdf,
            PrinterLanguage::unknown};
}

constexpr std::string_view rawValue(PrinterLanguage language) {
    switch (language) {
    case PrinterLanguage::zpl: return "zpl";
    case PrinterLanguage::tspl2: return "tspl2";
    case PrinterLanguage::dymoRaster: return "dymo_raster";
    case PrinterLanguage::pdf: return "pdf";
    case PrinterLanguage::unknown: break;
    }
    return "unknown";
}

// Printer-command text sent raw.
constexpr bool isText(PrinterLanguage language) {
    return language == PrinterLanguage::zpl || language == PrinterLanguage::tspl2;
}
// A document printed through a driver.
constexpr bool isDocument(PrinterLanguage language) {
    return language == PrinterLanguage::dymoRaster || language == PrinterLanguage::pdf;
}
constexpr bool isImplemented(PrinterLanguage language) { return language != PrinterLanguage::unknown; }

inline std::string describe(PrinterLanguage language) { return std::string(rawValue(language)); }

enum class PrinterTransport { network, cups, usb };

constexpr std::array<PrinterTransport, 3> allCases(PrinterTransport) {
    return {PrinterTransport::network, PrinterTransport::cups, PrinterTransport::usb};
}

constexpr std::string_view rawValue(PrinterTransport transport) {
    switch (transport) {
    case PrinterTransport::network: return "network";
    case PrinterTransport::cups: return "cups";
    case PrinterTransport::usb: break;
    }
    return "usb";
}

inline std::string describe(PrinterTransport transport) { return std::string(rawValue(transport)); }

} // namespace varnel

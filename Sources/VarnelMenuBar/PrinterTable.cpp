#include "VarnelMenuBar/PrinterTable.hpp"

namespace varnel::PrinterTable {

std::string_view kindLabel(PrinterLanguage language) {
    switch (language) {
    case PrinterLanguage::zpl:
        return "Zebra (ZPL)";
    case PrinterLanguage::tspl2:
        return "TSC / Xprinter";
    case PrinterLanguage::dymoRaster:
        return "Dymo";
    case PrinterLanguage::pdf:
        return "Document";
    case PrinterLanguage::unknown:
        break;
    }
    return "Not identified";
}

std::size_t rowCount(const std::vector<ReportedPrinter>& printers) {
    return printers.empty() ? 1 : printers.size();
}

Cell cell(const std::vector<ReportedPrinter>& printers, std::size_t row, std::size_t column) {
    if (column >= columns.size())
        return {};
    const auto identifier = columns[column].identifier;
    if (printers.empty()) {
        if (row != 0)
            return {};
        if (identifier == "name")
            return {"No printers found", true};
        if (identifier == "detail")
            return {"Add them in System Settings \u2192 Printers & Scanners", true};
        return {"", true};
    }
    if (row >= printers.size())
        return {};
    const auto& printer = printers[row];
    if (identifier == "name")
        return {printer.name, false};
    if (identifier == "kind")
        return {std::string(kindLabel(printer.language)), false};
    if (identifier == "state")
        return printer.status == "online" ? Cell{"Ready", false} : Cell{"Not ready", true};
    return {printer.statusMessage.value_or(""), true};
}

} // namespace varnel::PrinterTable

#pragma once

#include "VarnelKit/Protocol/ReportedPrinter.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// The configuration window's printer table as data: its columns and the text of every cell.
namespace PrinterTable {

struct Column {
    std::string_view identifier;
    std::string_view title;
    int width;
};

inline constexpr std::array<Column, 4> columns{{
    {"name", "Printer", 220},
    {"kind", "Type", 130},
    {"state", "Status", 90},
    {"detail", "Detail", 240},
}};

struct Cell {
    std::string text;
    bool secondary = false; // drawn in the secondary text colour
    bool operator==(const Cell&) const = default;
};

std::string_view kindLabel(PrinterLanguage language);
// One row per printer, in the order given, or one placeholder row when there are none.
std::size_t rowCount(const std::vector<ReportedPrinter>& printers);
Cell cell(const std::vector<ReportedPrinter>& printers, std::size_t row, std::size_t column);

} // namespace PrinterTable
} // namespace varnel

#include "VarnelMenuBar/ConfigurationText.hpp"

#include "VarnelMenuBar/PrinterTable.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

using Status = VarnelAgent::Status;
using PrinterTable::Cell;

ReportedPrinter printer(std::string name, std::string status, PrinterLanguage language,
                        std::optional<std::string> message = std::nullopt) {
    return ReportedPrinter{"cups:" + name, std::move(name), PrinterTransport::cups, language,
                           std::nullopt,   std::nullopt,    std::move(status),      std::move(message),
                           std::nullopt,   std::nullopt};
}

std::vector<Cell> row(const std::vector<ReportedPrinter>& printers, std::size_t index) {
    std::vector<Cell> cells;
    for (std::size_t column = 0; column < PrinterTable::columns.size(); ++column)
        cells.push_back(PrinterTable::cell(printers, index, column));
    return cells;
}

TEST(PrinterTableTest, NoPrintersGiveOnePlaceholderRowInTheSecondaryColour) {
    const std::vector<ReportedPrinter> none;
    EXPECT_EQ(PrinterTable::rowCount(none), 1u);
    EXPECT_EQ(row(none, 0),
              (std::vector<Cell>{{"No printers found", true},
                                 {"", true},
                                 {"", true},
                                 {"Add them in System Settings \u2192 Printers & Scanners", true}}));
}

TEST(PrinterTableTest, PrinterRowsNameTheirTypeAndState) {
    const std::vector<ReportedPrinter> printers{
        printer("Zebra", "online", PrinterLanguage::zpl),
        printer("TSC", "offline", PrinterLanguage::tspl2, "Not reachable at 10.0.0.9"),
        printer("Dymo", "error", PrinterLanguage::dymoRaster),
        printer("Office", "online", PrinterLanguage::pdf, "Idle"),
        printer("Mystery", "online", PrinterLanguage::unknown),
    };
    ASSERT_EQ(PrinterTable::rowCount(printers), 5u);
    EXPECT_EQ(row(printers, 0),
              (std::vector<Cell>{{"Zebra", false}, {"Zebra (ZPL)", false}, {"Ready", false}, {"", true}}));
    EXPECT_EQ(row(printers, 1), (std::vector<Cell>{{"TSC", false},
                                                   {"TSC / Xprinter", false},
                                                   {"Not ready", true},
                                                   {"Not reachable at 10.0.0.9", true}}));
    EXPECT_EQ(row(printers, 2)[1], (Cell{"Dymo", false}));
    EXPECT_EQ(row(printers, 2)[2], (Cell{"Not ready", true}));
    EXPECT_EQ(row(printers, 3)[1], (Cell{"Document", false}));
    EXPECT_EQ(row(printers, 4)[1], (Cell{"Not identified", false}));
    // Outside the table: empty cells, never a crash.
    EXPECT_EQ(PrinterTable::cell(printers, 5, 0), Cell{});
    EXPECT_EQ(PrinterTable::cell(printers, 0, 4), Cell{});
}

TEST(ConfigurationTextTest, DotColourPerStatus) {
    const struct {
        Status status;
        Rgba colour;
    } cases[] = {
        {Status::connected(), {127, 168, 10, 1}},
        {Status::disconnected("x"), {224, 160, 48, 1}},
        {Status::updateRequired("2.0.0"), {217, 64, 64, 1}},
        {Status::accessRevoked(), {217, 64, 64, 1}},
        {Status::notEnrolled(), {154, 164, 174, 1}},
        {Status::connecting(), {154, 164, 174, 1}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ConfigurationText::dotColour(c.status), c.colour) << describe(c.status);
}

TEST(ConfigurationTextTest, DetailAndActivityTexts) {
    AgentSettings settings;
    settings.deviceName = "Front desk";
    EXPECT_EQ(ConfigurationText::detail(std::nullopt, 3), "Not connected to Varnel");
    EXPECT_EQ(ConfigurationText::detail(settings, 12), "Front desk \u00B7 12 printer(s)");
    EXPECT_EQ(ConfigurationText::activity({}), "Nothing logged yet.");
    EXPECT_EQ(ConfigurationText::activity({"one", "two"}), "one\ntwo");
}

TEST(ConfigurationTextTest, LogLinesDropEmptyPiecesAndKeepTheOrder) {
    EXPECT_EQ(ConfigurationText::logLines(""), std::vector<std::string>{});
    EXPECT_EQ(ConfigurationText::logLines("\n\nfirst\n\n second \nlast"),
              (std::vector<std::string>{"first", " second ", "last"}));
    EXPECT_EQ(ConfigurationText::logLines("only\n"), std::vector<std::string>{"only"});
}

} // namespace
} // namespace varnel

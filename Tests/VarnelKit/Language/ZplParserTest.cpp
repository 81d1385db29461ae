// The ZPL structure analysis, its scanners and the emulator, including text beyond ASCII.
#include "VarnelKit/Language/ZplDriver.hpp"
#include "VarnelKit/Language/ZplEmulator.hpp"
#include "VarnelKit/Language/ZplParser.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace varnel {
namespace {

using Strings = std::vector<std::string>;

ZplParser::Analysis analyse(const std::string& text) { return ZplParser().analyse(text); }

TEST(ZplAnalysis, CountsClosedLabelsAndTracksDepth) {
    EXPECT_EQ(analyse(""), ZplParser::Analysis{});
    const auto two = analyse("^XA^FDA^FS^XZ^XA^FDB^FS^XZ");
    EXPECT_EQ(two.labelCount, 2);
    EXPECT_FALSE(two.hasUnterminatedLabel);
    EXPECT_FALSE(two.hasStrayText);
    EXPECT_TRUE(two.isRepeatable());

    // Nesting is counted: the inner ^XZ closes one level, one stays open.
    const auto nested = analyse("^XA^XA^XZ");
    EXPECT_EQ(nested.labelCount, 1);
    EXPECT_TRUE(nested.hasUnterminatedLabel);

    // ^XZ outside a label is ignored; lower-case commands are commands.
    const auto stray = analyse("^XZ^xa^xz");
    EXPECT_EQ(stray.labelCount, 1);
    EXPECT_FALSE(stray.hasUnterminatedLabel);
    EXPECT_FALSE(stray.hasStrayText);

    const auto open = analyse("^XA^FDx");
    EXPECT_EQ(open.labelCount, 0);
    EXPECT_TRUE(open.hasUnterminatedLabel);
    EXPECT_TRUE(open.isEmpty());
}

TEST(ZplAnalysis, CollectsControlCommandsAnywhere) {
    const auto a = analyse("~ja ^XA~HS^XZ ~JR");
    EXPECT_EQ(a.controlCommands, (Strings{"~JA", "~HS", "~JR"}));
    EXPECT_FALSE(a.hasStrayText);
    EXPECT_EQ(a.labelCount, 1);
    // Only the letters belong to the command: parameters outside a label are text there.
    const auto withParameter = analyse("~SD15");
    EXPECT_EQ(withParameter.controlCommands, Strings{"~SD"});
    EXPECT_TRUE(withParameter.hasStrayText);
}

TEST(ZplAnalysis, MarksStrayText) {
    EXPECT_TRUE(analyse("junk").hasStrayText);
    EXPECT_TRUE(analyse("Order ~ SO-1041").hasStrayText);
    // A bare ~ is stray even inside a label; other text inside a label is not examined.
    EXPECT_TRUE(analyse("^XA~ ^XZ").hasStrayText);
    EXPECT_FALSE(analyse("^XA anything at all ^XZ").hasStrayText);
    // A ^ with no letter passes over silently.
    EXPECT_FALSE(analyse("^XA^^1^XZ").hasStrayText);
    // Whitespace outside labels is any Unicode White_Space.
    EXPECT_FALSE(analyse("^XA^XZ\u00A0\u2028\u3000\t^XA^XZ").hasStrayText);
    EXPECT_TRUE(analyse("^XA^XZ\u200B").hasStrayText); // a zero-width space is not White_Space
}

TEST(ZplAnalysis, ReadsTheLastQuantityInsideALabel) {
    EXPECT_EQ(analyse("^XA^FDX^FS^PQ4^XZ").declaredQuantity, std::optional<std::int64_t>(4));
    EXPECT_EQ(analyse("^XA^PQ3,0,1,Y^XZ").declaredQuantity, std::optional<std::int64_t>(3));
    EXPECT_EQ(analyse("^XA^PQ2^XZ^XA^PQ7^XZ").declaredQuantity, std::optional<std::int64_t>(7));
    // Without digits the quantity is gone again; outside a label ^PQ is ignored.
    EXPECT_EQ(analyse("^XA^PQ2^PQ^XZ").declaredQuantity, std::nullopt);
    EXPECT_EQ(analyse("^PQ5^XA^XZ").declaredQuantity, std::nullopt);
    EXPECT_EQ(analyse("^XA^PQ5^XZ^PQ9").declaredQuantity, std::optional<std::int64_t>(5));
}

TEST(ZplScanners, ReadCommandNamesAndNumbers) {
    const Characters text("^xa^FO50^A0N~JA^ ^PQ0012,9223372036854775807 9223372036854775808");
    EXPECT_EQ(ZplParser::commandName(text, 0), "XA");
    EXPECT_EQ(ZplParser::commandName(text, 3), "FO");
    EXPECT_EQ(ZplParser::commandName(text, 8), "A");
    EXPECT_EQ(ZplParser::commandName(text, 12), "JA");
    EXPECT_EQ(ZplParser::commandName(text, 15), "");
    EXPECT_EQ(ZplParser::scanCommand(text, 15).end, 16u);
    EXPECT_EQ(ZplParser::firstNumber(text, 6), std::optional<std::int64_t>(50));
    EXPECT_EQ(ZplParser::firstNumber(text, 20), std::optional<std::int64_t>(12));
    EXPECT_EQ(ZplParser::firstNumber(text, 25), std::optional<std::int64_t>(9223372036854775807));
    EXPECT_EQ(ZplParser::firstNumber(text, 45), std::nullopt); // one past the 64-bit range
    EXPECT_EQ(ZplParser::firstNumber(text, 0), std::nullopt);
    // The emulator's scanners are the parser's.
    EXPECT_EQ(ZplEmulator::command(text, 3), "FO");
    EXPECT_EQ(ZplEmulator::number(text, 6), std::optional<std::int64_t>(50));
}

TEST(ZplScanners, ReadUnicodeLettersAndNumerals) {
    // Letters of any script are command letters; numerals other than ASCII digits are number
    // characters that give no number.
    const Characters text("^\u00E9x^\u03A9 \u0663\u0664 \u00BD7");
    EXPECT_EQ(ZplParser::commandName(text, 0), "\u00C9X");
    EXPECT_EQ(ZplParser::commandName(text, 4), "\u03A9");
    EXPECT_EQ(ZplParser::firstNumber(text, 8), std::nullopt);
    EXPECT_EQ(ZplParser::firstNumber(text, 13), std::nullopt);
    // A caret with a combining mark is another character, not a prefix.
    EXPECT_EQ(analyse("^\u0301XA").labelCount, 0);
    EXPECT_TRUE(analyse("^\u0301XA").hasStrayText);
}

TEST(ZplScanners, AdvanceByTheLettersConsumedNotTheirUpperCase) {
    // "ß" is one letter whose upper case is "SS"; scanning must not skip the ^ after it.
    const Characters text("^\u00DF^XZ");
    const auto scan = ZplParser::scanCommand(text, 0);
    EXPECT_EQ(scan.name, "SS");
    EXPECT_EQ(scan.end, 3u);
    EXPECT_EQ(ZplParser::commandName(text, scan.end), "XZ");

    const auto a = analyse("^XA^\u00DF^XZ");
    EXPECT_EQ(a.labelCount, 1);
    EXPECT_FALSE(a.hasUnterminatedLabel);
    const auto ligature = analyse("^XA^\uFB00^XZ ~\uFB03~JA"); // "ﬀ" is "FF", "ﬃ" is "FFI"
    EXPECT_EQ(ligature.labelCount, 1);
    EXPECT_EQ(ligature.controlCommands, (Strings{"~FFI", "~JA"}));

    const auto out = ZplEmulator().run("^XA^\u00DF^FDkept^XZ");
    ASSERT_EQ(out.labels.size(), 1u);
    EXPECT_EQ(out.labels[0].fields, Strings{"kept"});
    EXPECT_NO_THROW((void)ZplDriver().prepare(bytesOf("^XA^\u00DF^XZ"), 1));
}

TEST(ZplEmulatorRun, ReadsLabelsFieldsAndQuantities) {
    EXPECT_EQ(ZplEmulator().run(""), ZplEmulator::Output{});

    const auto quantity = ZplEmulator().run("^XA^FDX^FS^PQ3^XZ");
    EXPECT_EQ(quantity.labels, (std::vector<ZplEmulator::Label>{{{"X"}, 3}}));
    EXPECT_EQ(quantity.physicalLabelCount(), 3);

    const auto two = ZplEmulator().run("^FDbefore^XA^FD  A \n^FS^XZ^FDafter^XA^FDB^PQ0^XZ^XA^PQ^XZ");
    EXPECT_EQ(two.allText(), (Strings{"A", "B"}));
    EXPECT_EQ(two.labels.size(), 3u);
    EXPECT_EQ(two.physicalLabelCount(), 3); // ^PQ0 counts as 1, ^PQ without digits keeps 1

    const auto open = ZplEmulator().run("^XA^FO50,50^FDOops^FS");
    EXPECT_TRUE(open.labels.empty());
    EXPECT_TRUE(open.awaitingTerminator);

    // A second ^XA discards the open label rather than nesting.
    const auto reopened = ZplEmulator().run("^XA^FDlost^XA^FDkept^XZ");
    EXPECT_EQ(reopened.allText(), Strings{"kept"});
    EXPECT_FALSE(reopened.awaitingTerminator);

    const auto control = ZplEmulator().run("~ja ~ ^XA~HS^XZ");
    EXPECT_EQ(control.controlCommands, (Strings{"~JA", "~HS"}));
    EXPECT_EQ(control.labels.size(), 1u);
}

TEST(ZplEmulatorRun, SheetCountSaturates) {
    const auto out = ZplEmulator().run("^XA^PQ9223372036854775807^XZ^XA^PQ9223372036854775807^XZ");
    EXPECT_EQ(out.physicalLabelCount(), std::numeric_limits<std::int64_t>::max());
}

TEST(ZplEmulatorRun, DriverOutputOfThreeLabelsTimesThree) {
    const auto payload = bytesOf("^XA^FD1^XZ^XA^FD2^PQ2^XZ^XA^FD3^XZ");
    const auto out = ZplEmulator().run(textOf(ZplDriver().prepare(payload, 3)));
    EXPECT_EQ(out.labels.size(), 9u);
    EXPECT_EQ(out.physicalLabelCount(), 12);
}

TEST(ZplEmulatorRun, FieldsKeepNonAsciiText) {
    const auto out = ZplEmulator().run("^XA^FD\u00A0Gr\u00FC\u00DFe \U0001F469\u200D\U0001F4BB\u2003^FS^XZ");
    EXPECT_EQ(out.allText(), Strings{"Gr\u00FC\u00DFe \U0001F469\u200D\U0001F4BB"});
}

} // namespace
} // namespace varnel

// What the text drivers send: copies, line endings, escapes, test labels, and the bound on output.
#include "VarnelKit/Language/DriverSupport.hpp"
#include "VarnelKit/Language/Tspl2Driver.hpp"
#include "VarnelKit/Language/ZplDriver.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace varnel {
namespace {

std::string zplOut(const std::string& payload, std::int64_t copies) {
    return textOf(ZplDriver().prepare(bytesOf(payload), copies));
}

std::string tsplOut(const std::string& payload, std::int64_t copies) {
    return textOf(Tspl2Driver().prepare(bytesOf(payload), copies));
}

TEST(ZplDriverOutput, RepeatsTheTrimmedUnitOnlyWhenItHoldsALabel) {
    EXPECT_EQ(zplOut("  ^XA^FO50,50^A0N,40^FDTEST^FS^XZ\r\n", 1), "^XA^FO50,50^A0N,40^FDTEST^FS^XZ\n");
    EXPECT_EQ(zplOut("^XA^FDA^FS^XZ^XA^FDB^FS^XZ", 2), "^XA^FDA^FS^XZ^XA^FDB^FS^XZ\n^XA^FDA^FS^XZ^XA^FDB^FS^XZ\n");
    EXPECT_EQ(zplOut("~JA", 5), "~JA\n");
    EXPECT_EQ(zplOut("~JA ~HS", 1000), "~JA ~HS\n");
    // The quantity inside the label is the printer's business: copies multiply it, untouched.
    EXPECT_EQ(zplOut("^XA^FDx^PQ2^XZ", 3), "^XA^FDx^PQ2^XZ\n^XA^FDx^PQ2^XZ\n^XA^FDx^PQ2^XZ\n");
    // Invalid UTF-8 never comes back, and non-ASCII field text is sent as it came.
    EXPECT_EQ(zplOut("^XA^FDGr\u00FC\u00DFe \U0001F600^FS^XZ", 1), "^XA^FDGr\u00FC\u00DFe \U0001F600^FS^XZ\n");
}

TEST(Tspl2DriverOutput, NormalisesLineEndings) {
    EXPECT_EQ(Tspl2Driver::normaliseLineEndings("A\nB"), "A\r\nB\r\n");
    EXPECT_EQ(Tspl2Driver::normaliseLineEndings("A\r\n\r\nB"), "A\r\n\r\nB\r\n");
    EXPECT_EQ(Tspl2Driver::normaliseLineEndings("A\n"), "A\r\n\r\n");
    EXPECT_EQ(Tspl2Driver::normaliseLineEndings("A\rB\r\r\nC"), "A\r\nB\r\n\r\nC\r\n");
    EXPECT_EQ(Tspl2Driver::normaliseLineEndings(""), "\r\n");
    // Other separators are not line ends of TSPL2.
    EXPECT_EQ(Tspl2Driver::normaliseLineEndings("A\vB\fC\u2028D\u0085E"), "A\vB\fC\u2028D\u0085E\r\n");
}

TEST(Tspl2DriverOutput, RepeatsTheWholeProgram) {
    EXPECT_EQ(tsplOut("SIZE 4,2\nPRINT 1,1", 1), "SIZE 4,2\r\nPRINT 1,1\r\n");
    EXPECT_EQ(tsplOut("SIZE 4,2\nPRINT 1,1", 2), "SIZE 4,2\r\nPRINT 1,1\r\nSIZE 4,2\r\nPRINT 1,1\r\n");
    EXPECT_EQ(tsplOut("\n\nSIZE 4,2\r\nPRINT 3,1\r\n\r\n", 1), "SIZE 4,2\r\nPRINT 3,1\r\n");
}

TEST(DriverEscapes, DropTheirLanguagesSpecialCharactersAndLineBreaks) {
    EXPECT_EQ(ZplDriver::escape("Bad^Name~Here"), "BadNameHere");
    EXPECT_EQ(ZplDriver::escape("a\"b\\c"), "a\"b\\c");
    EXPECT_EQ(ZplDriver::escape("1\n2\r\n3\r4\v5\f6\u00857\u20288\u20299"), "123456789");
    EXPECT_EQ(ZplDriver::escape("^~^"), "");
    EXPECT_EQ(Tspl2Driver::escape("He said \"hi\""), "He said hi");
    EXPECT_EQ(Tspl2Driver::escape("C:\\x^~"), "C:x^~");
    EXPECT_EQ(Tspl2Driver::escape("a\r\nb\u2029c"), "abc");
    // Non-ASCII text stays, in order.
    EXPECT_EQ(ZplDriver::escape("Z\u00FCrich \u5E97"), "Z\u00FCrich \u5E97");
}

TEST(DriverEscapes, ACombiningMarkCannotShieldASpecialCharacter) {
    // The printer reads bytes: a caret or quote followed by a combining mark is still a caret or
    // a quote on the wire.
    EXPECT_EQ(ZplDriver::escape("a^\u0301XZ"), "a\u0301XZ");
    EXPECT_EQ(Tspl2Driver::escape("a\"\u0301b"), "a\u0301b");
}

TEST(DriverTestLabels, AreTheFixedProgramsWithTheEscapedTexts) {
    EXPECT_EQ(textOf(ZplDriver().testLabel("Shop ^1", "2026-08-13\n10:00")),
              "^XA\n^FO30,30^A0N,36,36^FDVarnel test^FS\n^FO30,80^A0N,24,24^FDShop 1^FS\n"
              "^FO30,120^A0N,24,24^FD2026-08-1310:00^FS\n^XZ");
    EXPECT_EQ(textOf(Tspl2Driver().testLabel("Desk \"2\"", "T")),
              "SIZE 4,2\r\nGAP 0.12,0\r\nDIRECTION 1\r\nCLS\r\n"
              "TEXT 30,30,\"3\",0,1,1,\"Varnel test\"\r\n"
              "TEXT 30,80,\"2\",0,1,1,\"Desk 2\"\r\n"
              "TEXT 30,120,\"2\",0,1,1,\"T\"\r\n"
              "PRINT 1,1\r\n");
}

TEST(DriverTestLabels, PassTheirOwnDriver) {
    EXPECT_NO_THROW((void)ZplDriver().prepare(ZplDriver().testLabel("^XZ^XA", "~JA"), 1));
    EXPECT_NO_THROW((void)Tspl2Driver().prepare(Tspl2Driver().testLabel("x", "y"), 1));
}

void expectTooLarge(const auto& prepare) {
    const auto error = testing::thrownBy<JobError>(prepare);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, JobErrorCode::payloadInvalid);
    EXPECT_NE(error->description().find("64 MiB"), std::string::npos) << error->description();
}

TEST(DriverOutputBound, RefusesOutputAbove64MiBBeforeBuildingIt) {
    constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
    expectTooLarge([] { (void)ZplDriver().prepare(bytesOf("^XA^XZ"), most); });
    expectTooLarge([] { (void)Tspl2Driver().prepare(bytesOf("PRINT 1"), most); });
    expectTooLarge([] { (void)ZplDriver().prepare(bytesOf("^XA^FDx^FS^XZ"), 10'000'000); });
    // A control-only payload goes once, so its copies cannot make it large.
    EXPECT_EQ(textOf(ZplDriver().prepare(bytesOf("~JA"), most)), "~JA\n");
}

TEST(DriverOutputBound, RepeatingBuildsWholeCopies) {
    for (std::int64_t times = 1; times <= 9; ++times) {
        std::string expected;
        for (std::int64_t i = 0; i < times; ++i) expected += "^XA\u00E9^XZ\n";
        EXPECT_EQ(textOf(DriverSupport::repeated("^XA\u00E9^XZ\n", times)), expected) << times;
    }
}

TEST(DriverOutputBound, TheLimitIsTheExactOutputSize) {
    const std::string unit = "^XA^XZ\n"; // the payload as sent: trimmed, one LF
    const auto fitting = static_cast<std::int64_t>(DriverSupport::maximumOutputSize / unit.size());
    EXPECT_EQ(ZplDriver().prepare(bytesOf("^XA^XZ"), fitting).size(), unit.size() * static_cast<std::size_t>(fitting));
    expectTooLarge([&] { (void)ZplDriver().prepare(bytesOf("^XA^XZ"), fitting + 1); });

    // TSPL2 is measured after its line ends were doubled up.
    const std::string program = "PRINT\n1"; // sent as "PRINT\r\n1\r\n": 10 bytes
    const auto tsplFitting = static_cast<std::int64_t>(DriverSupport::maximumOutputSize / 10);
    expectTooLarge([&] { (void)Tspl2Driver().prepare(bytesOf(program), tsplFitting + 1); });

    EXPECT_EQ(DriverSupport::repeated(std::string(DriverSupport::maximumOutputSize, 'x'), 1).size(),
              DriverSupport::maximumOutputSize);
    expectTooLarge([] { (void)DriverSupport::repeated(std::string(DriverSupport::maximumOutputSize + 1, 'x'), 1); });
}

} // namespace
} // namespace varnel

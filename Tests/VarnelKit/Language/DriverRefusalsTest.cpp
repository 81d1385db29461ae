// Every refusal of the drivers, with its exact sentence, and which check wins when several fail.
#include "VarnelKit/Language/PdfDriver.hpp"
#include "VarnelKit/Language/Tspl2Driver.hpp"
#include "VarnelKit/Language/ZplDriver.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace varnel {
namespace {

struct Refusal {
    const char* name;
    std::shared_ptr<const LabelLanguageDriver> driver;
    std::string payload;
    std::int64_t copies;
    std::string message;
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

const auto zpl = std::make_shared<const ZplDriver>();
const auto tspl2 = std::make_shared<const Tspl2Driver>();
const auto pdf = std::make_shared<const PdfDriver>();

const std::string noZpl = "No ZPL commands found \u2014 expected a ^XA\u2026^XZ label or a ~ control command";
const std::string unterminated = "A ^XA label was never closed with ^XZ, so the printer would wait forever";
const std::string stray = "Text found outside any ^XA\u2026^XZ label \u2014 is this really ZPL?";
const std::string copies = "copies must be at least 1";

class DriverRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(DriverRefusal, GivesItsSentence) {
    const Refusal& r = GetParam();
    const auto error = testing::thrownBy<JobError>([&] { (void)r.driver->prepare(bytesOf(r.payload), r.copies); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, JobErrorCode::payloadInvalid);
    EXPECT_EQ(error->message, std::optional<std::string>(r.message));
    EXPECT_EQ(error->description(), r.message);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, DriverRefusal,
    ::testing::Values(
        Refusal{"zplBadUtf8", zpl, "^XA\xC3\x28^XZ", 1, "ZPL payload is not valid UTF-8"},
        Refusal{"zplOverlongUtf8", zpl, "^XA\xC0\xAF^XZ", 1, "ZPL payload is not valid UTF-8"},
        Refusal{"zplEmpty", zpl, " \t\r\n\u00A0\u2028 ", 1, "ZPL payload is empty"},
        Refusal{"zplEmptyBeatsCopies", zpl, "   ", 0, "ZPL payload is empty"},
        Refusal{"zplZeroCopies", zpl, "^XA^XZ", 0, copies},
        Refusal{"zplNegativeCopies", zpl, "~JA", -3, copies},
        Refusal{"zplCopiesBeforeStructure", zpl, "not zpl", 0, copies},
        Refusal{"zplOtherLanguage", zpl, "SIZE 4,2\nPRINT 1,1", 1, noZpl},
        Refusal{"zplBareTilde", zpl, "Order ~ SO-1041 shipped", 1, noZpl},
        Refusal{"zplOnlyOpenLabel", zpl, "^XA^FO50,50^FDOops^FS", 1, noZpl},
        Refusal{"zplClosedThenOpen", zpl, "^XA^XZ^XA^FDmore", 1, unterminated},
        Refusal{"zplControlThenOpen", zpl, "~JA^XA^FDx", 1, unterminated},
        Refusal{"zplUnterminatedBeatsStray", zpl, "junk ^XA^XZ^XA", 1, unterminated},
        Refusal{"zplTrailingJunk", zpl, "^XA^FDok^FS^XZ trailing junk", 1, stray},
        Refusal{"zplLeadingJunk", zpl, "hello ^XA^XZ", 1, stray},
        Refusal{"zplBareTildeInsideLabel", zpl, "^XA^FDa ~ b^FS^XZ", 1, stray},
        Refusal{"tsplBadUtf8", tspl2, "PRINT 1\xFF", 1, "TSPL2 payload is not valid UTF-8"},
        Refusal{"tsplEmpty", tspl2, "\n\n  \r\n", 1, "TSPL2 payload is empty"},
        Refusal{"tsplEmptyBeatsCopies", tspl2, "", 0, "TSPL2 payload is empty"},
        Refusal{"tsplZeroCopies", tspl2, "SIZE 4,2\nPRINT 1,1", 0, copies},
        Refusal{"tsplNoPrint", tspl2, "SIZE 4,2\nCLS", 1, "TSPL2 payload has no PRINT command, so nothing would be printed"},
        Refusal{"pdfZeroCopiesBeatsEmpty", pdf, "", 0, copies},
        Refusal{"pdfEmpty", pdf, "", 1, "PDF payload is empty"},
        Refusal{"pdfNotPdf", pdf, "^XA^XZ", 1, "Payload is not a PDF (expected it to start with %PDF-)"},
        Refusal{"pdfShorterThanMagic", pdf, "%PDF", 1, "Payload is not a PDF (expected it to start with %PDF-)"},
        Refusal{"pdfNotTrimmed", pdf, " %PDF-1.4", 1, "Payload is not a PDF (expected it to start with %PDF-)"},
        Refusal{"pdfLowerCase", pdf, "%pdf-1.4", 1, "Payload is not a PDF (expected it to start with %PDF-)"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(DriverRefusal, PrintFoundInAnyCaseOrWord) {
    for (const char* payload : {"print 1", "SIZE 4,2\nREPRINT", "Print"}) {
        EXPECT_NO_THROW((void)Tspl2Driver().prepare(bytesOf(payload), 1)) << payload;
    }
    // Upper-casing is Unicode's: a dotless i is an I.
    EXPECT_NO_THROW((void)Tspl2Driver().prepare(bytesOf("pr\u0131nt"), 1));
}

TEST(DriverRefusal, WhitespaceAroundAClosedLabelIsAccepted) {
    EXPECT_EQ(textOf(ZplDriver().prepare(bytesOf("\u00A0 ^XA^FDok^FS^XZ \n\n\u2003"), 1)), "^XA^FDok^FS^XZ\n");
    // Outside a label any White_Space is a gap, not stray text.
    EXPECT_NO_THROW((void)ZplDriver().prepare(bytesOf("^XA^XZ\u2028\u00A0^XA^XZ"), 1));
}

} // namespace
} // namespace varnel

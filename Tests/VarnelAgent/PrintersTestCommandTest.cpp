#include "CliFixture.hpp"

namespace varnel {
namespace {

using testing::CliFixture;
using testing::makePrinter;

class PrintersCommandTest : public CliFixture {};

TEST_F(PrintersCommandTest, NoQueuesMeansOneLineAndNoProbe) {
    EXPECT_EQ(run({"printers"}), 0);
    EXPECT_EQ(out.str(), "No CUPS printers found.\n");
    EXPECT_EQ(probes, 0);
}

TEST_F(PrintersCommandTest, EachPrinterIsABlockWithItsMarkAndOnlyTheLinesItHasValuesFor) {
    auto zebra =
        makePrinter("net:10.0.0.5:9100", "Zebra Dock", PrinterTransport::network, PrinterLanguage::zpl);
    zebra.address = "10.0.0.5:9100";
    discovered = {
        zebra,
        makePrinter("cups:Office", "Office Laser", PrinterTransport::cups, PrinterLanguage::unknown),
        makePrinter("usb:0a5f-0001", "Desk TSC", PrinterTransport::usb, PrinterLanguage::tspl2),
        makePrinter("cups:Other", "Other", PrinterTransport::cups, PrinterLanguage::pdf),
    };
    findings["cups:Office"] = {"offline", std::nullopt};
    findings["usb:0a5f-0001"] = {"error", "Paper out"};
    findings["cups:Other"] = {"stopped", std::nullopt};

    EXPECT_EQ(run({"printers"}), 0);
    EXPECT_EQ(probes, 1);
    EXPECT_EQ(out.str(), "Probing 4 printer(s)…\n"
                         "\n"
                         "  ● Zebra Dock  [online]\n"
                         "    key       net:10.0.0.5:9100\n"
                         "    language  zpl\n"
                         "    transport network\n"
                         "    address   10.0.0.5:9100\n"
                         "\n"
                         "  ○ Office Laser  [offline]\n"
                         "    key       cups:Office\n"
                         "    language  unknown  (not supported yet)\n"
                         "    transport cups\n"
                         "\n"
                         "  ▲ Desk TSC  [error]\n"
                         "    key       usb:0a5f-0001\n"
                         "    language  tspl2\n"
                         "    transport usb\n"
                         "    detail    Paper out\n"
                         "\n"
                         "  ○ Other  [stopped]\n"
                         "    key       cups:Other\n"
                         "    language  pdf\n"
                         "    transport cups\n"
                         "\n");
    EXPECT_EQ(err.str(), "");
}

class TestCommandTest : public CliFixture {};

// The language comes from the option when it names one, else from discovery; the label goes to the
// transport the key resolves to, as PDF to a document printer's queue and raw otherwise.
TEST_F(TestCommandTest, TheLanguageAndTheWayToThePrinterFollowTheKeyAndTheOption) {
    struct Case {
        std::string name;
        std::vector<std::string> words;
        std::vector<ReportedPrinter> discovered;
        std::string language;      // as printed
        std::string labelContains; // the printer's name on the label
        std::string startedAs;     // the CUPS document, queue and format
    };
    const std::vector<Case> cases{
        {"an undiscovered queue with a given language",
         {"test", "--printer", "cups:X", "--language", "tspl2"},
         {},
         "tspl2",
         "cups:X",
         "X#17 application/vnd.cups-raw"},
        {"an unknown language text is ignored",
         {"test", "--printer", "cups:Desk", "--language", "foo"},
         {makePrinter("cups:Desk", "Desk Zebra", PrinterTransport::cups, PrinterLanguage::zpl)},
         "zpl",
         "Desk Zebra",
         "Desk#17 application/vnd.cups-raw"},
        {"a document printer gets a PDF job",
         {"test", "extra", "--printer", "cups:Labels"},
         {makePrinter("cups:Labels", "Label Writer", PrinterTransport::cups, PrinterLanguage::dymoRaster)},
         "dymo_raster",
         "%PDF-",
         "Labels#17 application/pdf"},
        {"the first of two printers with one key",
         {"test", "--printer", "cups:Desk"},
         {makePrinter("cups:Desk", "First", PrinterTransport::cups, PrinterLanguage::tspl2),
          makePrinter("cups:Desk", "Second", PrinterTransport::cups, PrinterLanguage::zpl)},
         "tspl2",
         "First",
         "Desk#17 application/vnd.cups-raw"},
    };
    for (const auto& c : cases) {
        cups = std::make_shared<testing::FakeCupsApi>();
        cups->addQueue("X");
        cups->addQueue("Desk");
        cups->addQueue("Labels");
        environment.services.cups = cups;
        discovered = c.discovered;

        ASSERT_EQ(run(c.words), 0) << c.name << ": " << err.str();
        const std::string data = cups->lastData();
        EXPECT_NE(data.find(c.labelContains), std::string::npos) << c.name;
        const std::string size = std::to_string(data.size());
        const std::string key = CLI::Options(c.words).values.at("printer");
        EXPECT_EQ(outLines(), (std::vector<std::string>{"Sending " + size + " bytes of " + c.language +
                                                            " to " + key + "…",
                                                        "Wrote " + size + " bytes."}))
            << c.name;
        const auto calls = cups->calls();
        ASSERT_GE(calls.size(), 3u) << c.name;
        EXPECT_EQ(calls[2].detail, c.startedAs) << c.name;
    }
}

TEST_F(TestCommandTest, RefusalsComeBeforeAnyPrinterIsContacted) {
    struct Case {
        std::vector<std::string> words;
        std::string err;
    };
    const std::vector<Case> cases{
        {{"test", "--printer"}, "Error: --printer <key> is required (see: varnel-agent printers)\n"},
        {{"test", "--printer", "net:10.0.0.5"},
         "Error: Don't know how to print unknown. Pass --language zpl or --language tspl2.\n"},
        {{"test", "--printer", "usb:0a5f-0001", "--language", "zpl"},
         "Error: No transport available for usb:0a5f-0001\n"},
        {{"test", "--printer", "cups:", "--language", "zpl"}, "Error: No transport available for cups:\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.words), 1) << c.err;
        EXPECT_EQ(err.str(), c.err);
        EXPECT_EQ(out.str(), "");
    }
    EXPECT_TRUE(cups->calls().empty());
}

TEST_F(TestCommandTest, AFailedWriteShowsTheJobErrorsOwnMessageAfterTheSendingLine) {
    EXPECT_EQ(run({"test", "--printer", "cups:Gone", "--language", "zpl"}), 1);
    ASSERT_EQ(outLines().size(), 1u);
    EXPECT_EQ(outLines()[0].rfind("Sending ", 0), 0u);
    EXPECT_EQ(err.str(), "Error: CUPS queue \"Gone\" not found\n");
}

} // namespace
} // namespace varnel

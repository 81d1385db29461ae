#include "VarnelKit/Transport/TestLabelPrint.hpp"

#include "FakeCupsApi.hpp"
#include "VarnelKit/Language/LabelLanguageDrivers.hpp"
#include "VarnelKit/Transport/CupsPrinterTransport.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

using testing::FakeCupsApi;

ReportedPrinter printer(std::string key, PrinterTransport transport, PrinterLanguage language) {
    ReportedPrinter record;
    record.key = std::move(key);
    record.name = "Desk";
    record.transport = transport;
    record.language = language;
    return record;
}

// The format a CUPS queue is handed decides whether its driver renders the label: a document
// printer given raw PDF bytes prints nothing useful while the write reports success.
TEST(TestLabelPrintTest, DocumentLanguagesGoToCupsAsPdfAndLabelLanguagesRaw) {
    struct Case {
        PrinterLanguage language;
        std::string startedAs;
    };
    const std::vector<Case> cases{{PrinterLanguage::pdf, "Desk#17 application/pdf"},
                                  {PrinterLanguage::dymoRaster, "Desk#17 application/pdf"},
                                  {PrinterLanguage::zpl, "Desk#17 application/vnd.cups-raw"},
                                  {PrinterLanguage::tspl2, "Desk#17 application/vnd.cups-raw"}};
    for (const auto& c : cases) {
        testing::LoopFixture loop;
        auto api = std::make_shared<FakeCupsApi>();
        api->addQueue("Desk");
        const std::vector<ReportedPrinter> printers{printer("cups:Desk", PrinterTransport::cups, c.language)};
        const auto transport = loop.run(TestLabelPrint::transport(printers, "cups:Desk", api));
        ASSERT_TRUE(transport);
        const auto driver = LabelLanguageDrivers::driver(c.language);
        ASSERT_TRUE(driver);
        auto data = TestLabelPrint::label(*driver, "Desk");
        const auto size = static_cast<std::int64_t>(data.size());
        EXPECT_EQ(loop.run(TestLabelPrint::send(transport, std::move(data), c.language)), size);
        const auto calls = api->calls();
        ASSERT_GE(calls.size(), 3u);
        EXPECT_EQ(calls[1].detail, "Desk/Varnel test label");
        EXPECT_EQ(calls[2].detail, c.startedAs) << rawValue(c.language);
    }
}

TEST(TestLabelPrintTest, KeysWithoutAWayToThePrinterGiveNoTransport) {
    testing::LoopFixture loop;
    auto api = std::make_shared<FakeCupsApi>();
    EXPECT_FALSE(loop.run(TestLabelPrint::transport({}, "usb:0001", api)));
    EXPECT_FALSE(loop.run(TestLabelPrint::transport({}, "cups:", api)));
    // Unknown to the list, still resolved by its prefix.
    EXPECT_TRUE(loop.run(TestLabelPrint::transport({}, "cups:Elsewhere", api)));
    EXPECT_TRUE(loop.run(TestLabelPrint::transport({}, "net:10.0.0.5", api)));
}

} // namespace
} // namespace varnel

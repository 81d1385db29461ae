#include "VarnelKit/Language/DymoModel.hpp"
#include "VarnelKit/Transport/PrinterDiscovery.hpp"

#include "FakeCupsApi.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

using testing::FakeCupsApi;

TEST(PrinterDiscovery, InfersTheLanguageInItsOrder) {
    const std::vector<std::tuple<std::string, std::string, PrinterLanguage>> cases = {
        {"MFG:Zebra;CMD:TSPL2;MDL:ZD420", "", PrinterLanguage::tspl2},
        {"MFG:Zebra;CMD:EPL2;MDL:LP2844", "", PrinterLanguage::zpl},
        // A command set that names no label language falls through to the whole text.
        {"MFG:Xprinter;CMD:ESC;MDL:XP-420B", "", PrinterLanguage::tspl2},
        {"MFG:Acme;CMD:PCL", "ZPL queue", PrinterLanguage::zpl},
        {"", "zebra_zt230", PrinterLanguage::zpl},
        {"TSC TTP-244", "", PrinterLanguage::tspl2},
        {"", "TSC", PrinterLanguage::unknown},
        {"", "Dymo LabelWriter", PrinterLanguage::dymoRaster},
        {"", "LabelWriter", PrinterLanguage::dymoRaster},
        {"Local Raw Printer", "Office PDF", PrinterLanguage::unknown},
    };
    for (const auto& [deviceId, name, expected] : cases) {
        EXPECT_EQ(PrinterDiscovery::inferLanguage(deviceId, name), expected) << deviceId << " / " << name;
    }
}

TEST(PrinterDiscovery, DescribesEachQueue) {
    auto api = std::make_shared<FakeCupsApi>();
    api->addQueue("Zebra_ZT230", {{"printer-info", "Front desk"},
                                  {"printer-make-and-model", "Local Raw Printer"},
                                  {"device-uri", "socket://10.0.0.9:9100"},
                                  {"printer-state", "3"},
                                  {"printer-state-message", "Ready"}});
    api->addQueue("Zebra_ZT230", {{"printer-info", "copy"}}, "copy2");
    api->addQueue("Bare");
    api->addQueue("Refusing", {{"printer-is-accepting-jobs", "false"}, {"printer-state-message", ""}});
    api->addQueue("Stopped", {{"printer-state", "5"}});
    api->dests.push_back({std::nullopt, std::nullopt, {}});
    const auto now = std::time(nullptr);
    api->jobListings = {{{1, "Zebra_ZT230", 3, now - 30}, {2, "Zebra_ZT230", 5, 0}}};

    const auto printers = PrinterDiscovery(api).discoverCupsPrinters();
    ASSERT_EQ(printers.size(), 4u); // the instance and the nameless entry are left out

    const auto& zebra = printers[0];
    EXPECT_EQ(zebra.key, "cups:Zebra_ZT230");
    EXPECT_EQ(zebra.name, "Front desk");
    EXPECT_EQ(zebra.transport, PrinterTransport::cups);
    EXPECT_EQ(zebra.language, PrinterLanguage::zpl); // from the queue name, not the display name
    EXPECT_EQ(zebra.address, std::optional<std::string>("socket://10.0.0.9:9100"));
    EXPECT_EQ(zebra.dpi, std::nullopt);
    EXPECT_EQ(zebra.status, "online");
    EXPECT_EQ(zebra.statusMessage, std::optional<std::string>("Ready"));
    EXPECT_EQ(zebra.canPrintDocuments, std::optional<bool>(true));
    ASSERT_TRUE(zebra.probe);
    EXPECT_EQ(zebra.probe->queueName, "Zebra_ZT230");
    EXPECT_EQ(zebra.probe->driver, std::optional<std::string>("Local Raw Printer"));
    EXPECT_EQ(zebra.probe->deviceURIScheme, std::optional<std::string>("socket"));
    EXPECT_EQ(zebra.probe->queued, std::optional<std::int64_t>(2));
    ASSERT_TRUE(zebra.probe->oldestQueuedSeconds);
    EXPECT_GE(*zebra.probe->oldestQueuedSeconds, 30);
    EXPECT_LT(*zebra.probe->oldestQueuedSeconds, 40);

    const auto& bare = printers[1];
    EXPECT_EQ(bare.name, "Bare");
    EXPECT_EQ(bare.status, "online");
    EXPECT_EQ(bare.address, std::nullopt);
    EXPECT_EQ(bare.probe, (CupsQueueProbe{"Bare", std::nullopt, std::nullopt, true, false, 0, std::nullopt}));

    EXPECT_EQ(printers[2].status, "error");
    EXPECT_EQ(printers[2].statusMessage, std::nullopt);
    EXPECT_FALSE(printers[2].probe->accepting);
    EXPECT_EQ(printers[3].status, "error");
    EXPECT_TRUE(printers[3].probe->stopped);

    // One destination listing and one job listing, whatever the number of queues.
    EXPECT_EQ(api->jobQueries().size(), 1u);
}

TEST(PrinterDiscovery, DymoPrintersCarryTheModelAdvice) {
    auto api = std::make_shared<FakeCupsApi>();
    // "LW550" names no vendor: the language comes from the (empty) device text and the queue name.
    api->addQueue("LW550", {{"printer-info", "DYMO LabelWriter 550"}, {"printer-state-message", "Idle"}});
    const auto printers = PrinterDiscovery(api).discoverCupsPrinters();
    ASSERT_EQ(printers.size(), 1u);
    EXPECT_EQ(printers[0].language, PrinterLanguage::unknown);
    EXPECT_EQ(printers[0].statusMessage, std::optional<std::string>("Idle"));

    api->dests.clear();
    api->addQueue("DYMO_LW550", {{"printer-info", "LabelWriter 550"},
                                 {"printer-make-and-model", "DYMO LW"},
                                 {"printer-state-message", "Idle"}});
    api->addQueue("DYMO_Other", {{"printer-make-and-model", "DYMO"}, {"printer-state-message", "Idle"}});
    api->addQueue("Zebra", {{"printer-make-and-model", "Zebra ZPL"}, {"printer-state-message", "Idle"}});
    const auto dymo = PrinterDiscovery(api).discoverCupsPrinters();
    ASSERT_EQ(dymo.size(), 3u);
    EXPECT_EQ(dymo[0].language, PrinterLanguage::dymoRaster);
    EXPECT_EQ(dymo[0].dpi, std::optional<std::int64_t>(300));
    EXPECT_EQ(dymo[0].statusMessage, std::optional<std::string>(supportMessage(DymoModel::labelWriter550)));
    // A DYMO name without a known model number still gets the general LabelWriter hint.
    EXPECT_EQ(dymo[1].statusMessage, std::optional<std::string>(supportMessage(DymoModel::unknownLabelWriter)));
    EXPECT_EQ(dymo[2].statusMessage, std::optional<std::string>("Idle"));
}

TEST(PrinterDiscovery, NoSchedulerMeansNoPrinters) {
    auto api = std::make_shared<FakeCupsApi>();
    EXPECT_TRUE(PrinterDiscovery(api).discoverCupsPrinters().empty());
    EXPECT_TRUE(api->jobQueries().empty());
}

} // namespace
} // namespace varnel

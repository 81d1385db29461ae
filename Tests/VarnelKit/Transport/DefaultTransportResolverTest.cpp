#include "VarnelKit/Transport/DefaultTransportResolver.hpp"

#include "FakeCupsApi.hpp"
#include "VarnelKit/Transport/CupsPrinterTransport.hpp"
#include "VarnelKit/Transport/NetworkPrinterTransport.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

ReportedPrinter printer(std::string key, PrinterTransport transport, std::optional<std::string> address,
                        std::string name = "P") {
    return ReportedPrinter{std::move(key), std::move(name), transport,    PrinterLanguage::zpl, std::move(address),
                           std::nullopt,   "online",        std::nullopt, std::nullopt,         std::nullopt};
}

std::string describeTransport(const std::shared_ptr<PrinterWriting>& transport) {
    if (!transport) return "none";
    if (const auto network = std::dynamic_pointer_cast<NetworkPrinterTransport>(transport)) {
        return "tcp " + network->host() + " " + std::to_string(network->port());
    }
    if (const auto cups = std::dynamic_pointer_cast<CupsPrinterTransport>(transport))
        return "cups " + cups->queueName();
    return "other";
}

TEST(DefaultTransportResolver, ResolvesUnknownKeysByTheirPrefix) {
    DefaultTransportResolver resolver;
    EXPECT_EQ(describeTransport(resolver.transportNow("net:10.0.0.1:9100")), "tcp 10.0.0.1 9100");
    EXPECT_EQ(describeTransport(resolver.transportNow("cups:Zebra")), "cups Zebra");
    EXPECT_EQ(describeTransport(resolver.transportNow("Zebra")), "cups Zebra");
    EXPECT_EQ(describeTransport(resolver.transportNow("usb:0922:0028")), "none");
    EXPECT_EQ(describeTransport(resolver.transportNow("cups:")), "none");
    EXPECT_EQ(describeTransport(resolver.transportNow("net:")), "none");
    const auto network = std::dynamic_pointer_cast<NetworkPrinterTransport>(resolver.transportNow("net:h"));
    ASSERT_TRUE(network);
    EXPECT_EQ(network->connectTimeout(), std::chrono::seconds(5));
    EXPECT_EQ(network->writeTimeout(), std::chrono::seconds(30));
}

TEST(DefaultTransportResolver, KnownPrintersWinOverTheKey) {
    DefaultTransportResolver resolver;
    resolver.update({printer("net:10.0.0.5", PrinterTransport::network, "10.0.0.9:6101"),
                     printer("net:10.0.0.6:7000", PrinterTransport::network, std::nullopt),
                     printer("Front", PrinterTransport::network, std::nullopt),
                     printer("net:10.0.0.7", PrinterTransport::cups, std::nullopt),
                     printer("cups:Q", PrinterTransport::usb, std::nullopt)});
    EXPECT_EQ(describeTransport(resolver.transportNow("net:10.0.0.5")), "tcp 10.0.0.9 6101");
    EXPECT_EQ(describeTransport(resolver.transportNow("net:10.0.0.6:7000")), "tcp 10.0.0.6 7000");
    EXPECT_EQ(describeTransport(resolver.transportNow("Front")), "none");
    EXPECT_EQ(describeTransport(resolver.transportNow("net:10.0.0.7")), "cups net:10.0.0.7");
    EXPECT_EQ(describeTransport(resolver.transportNow("cups:Q")), "none");
    EXPECT_EQ(resolver.target("net:10.0.0.5").name, "P");

    // Printers left out of the next list are forgotten.
    resolver.update({});
    EXPECT_EQ(describeTransport(resolver.transportNow("net:10.0.0.5")), "tcp 10.0.0.5 9100");
    EXPECT_EQ(describeTransport(resolver.transportNow("cups:Q")), "cups Q");
}

TEST(DefaultTransportResolver, KeepsTheFirstOfTwoPrintersWithOneKey) {
    DefaultTransportResolver resolver;
    resolver.update({printer("net:a", PrinterTransport::network, "10.0.0.1:1", "first"),
                     printer("net:a", PrinterTransport::network, "10.0.0.2:2", "second")});
    EXPECT_EQ(describeTransport(resolver.transportNow("net:a")), "tcp 10.0.0.1 1");
    EXPECT_EQ(resolver.target("net:a").name, "first");
}

} // namespace
} // namespace varnel

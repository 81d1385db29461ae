#include "CliFixture.hpp"
#include "VarnelKit/Support/TransportError.hpp"

#include <functional>
#include <unistd.h>

namespace varnel {
namespace {

using testing::CliFixture;
using testing::makePrinter;

const std::string title = "Varnel check\n\n";
const std::string setUp = "  [ok] Set up as \"Front Desk\" (device 42)\n"
                          "  [ok] Credential present in the Keychain\n";
const std::string liveBlock = "  [--] Live connection https://ws.example.com:443\n"
                              "       Not tested here. If the menu bar says \"reconnecting\" for more\n"
                              "       than a minute, this address is usually the fault: a server that\n"
                              "       publishes its internal port hands every agent an address\n"
                              "       nothing can reach. Labels still print either way, on a 15s poll.\n";
const std::string noPrinters = "  [!] No printers found on this Mac.\n"
                               "      Check System Settings → Printers & Scanners. Network printers\n"
                               "      must be added there, or added in Varnel by address.\n";

class DoctorTest : public CliFixture {};

// Every check's outcome, and where the checklist stops. Findings are output: the exit status is
// always 0 and nothing goes to standard error.
TEST_F(DoctorTest, EachCheckEitherGoesOnOrEndsTheChecklistWithItsHint) {
    VarnelAPIClient::AgentUpdate offer;
    offer.version = "2.0.0";
    offer.downloadURL = *parseAbsoluteUrl("https://downloads.example.com/Varnel-2.0.0.dmg");
    offer.sha256 = "ab";

    struct Case {
        std::string name;
        std::function<void(DoctorTest&)> arrange;
        std::string output;
        int heartbeats;
    };
    std::vector<Case> cases{
        {"not set up", [](DoctorTest&) {},
         title + "  [x] Not set up. Run: varnel-agent enroll --code VRNL-XXXX-XXXX\n", 0},
        {"no token", [](DoctorTest&) { enrollLocally(false); },
         title + "  [ok] Set up as \"Front Desk\" (device 42)\n  [x] No credential in the Keychain. Run "
                 "enroll again.\n",
         0},
        // Settings that break the enrollment's rules never reach the server, and the reason shows.
        {"an http server", [](DoctorTest&) { enrollLocally(true, "https", "http://print.example.com"); },
         title + "  [x] Varnel will not use the settings in " + AgentSettings::fileURL().string() +
             ": the server address \"http://print.example.com\" is not https, so this Mac's credential would "
             "cross the network in the clear. Enroll again to replace them.\n",
         0},
        {"an unencrypted realtime channel", [](DoctorTest&) { enrollLocally(true, "ws"); },
         title + "  [x] Varnel will not use the settings in " + AgentSettings::fileURL().string() +
             ": they ask for an unencrypted realtime connection to \"ws.example.com\". Enroll again to replace "
             "them.\n",
         0},
        {"reached, no printers", [](DoctorTest&) { enrollLocally(); },
         title + setUp + "  [ok] Reached print.example.com\n" + liveBlock + noPrinters, 1},
        {"reached with an offer",
         [&offer](DoctorTest& t) {
             enrollLocally();
             t.heartbeat.offer = offer;
         },
         title + setUp +
             "  [ok] Reached print.example.com\n"
             "  [!] Varnel 2.0.0 is available; this Mac is on 1.0.4\n"
             "      https://downloads.example.com/Varnel-2.0.0.dmg\n" +
             liveBlock + noPrinters,
         1},
        {"too old",
         [](DoctorTest& t) {
             enrollLocally();
             t.heartbeat.failure =
                 std::make_exception_ptr(VarnelAPIClient::APIError::upgradeRequired("1.2.0"));
         },
         title + setUp +
             "  [x] This version is too old for the server and has stopped printing.\n"
             "      Update to 1.2.0 or later.\n",
         1},
        {"credential rejected",
         [](DoctorTest& t) {
             enrollLocally();
             t.heartbeat.failure = std::make_exception_ptr(VarnelAPIClient::APIError::credentialRejected());
         },
         title + setUp +
             "  [x] The server rejected this Mac's credential.\n"
             "      It was removed in the dashboard. Enroll again to reconnect.\n",
         1},
        {"unreachable",
         [](DoctorTest& t) {
             enrollLocally(true, "https", "https://print.example.com:8443/api");
             t.heartbeat.failure =
                 std::make_exception_ptr(TransportError(TransportError::Code::cannotConnect));
         },
         title + setUp +
             "  [x] Could not reach https://print.example.com:8443/api\n"
             "      " +
             TransportError::sentence(TransportError::Code::cannotConnect) + "\n",
         1},
        {"any other reply",
         [](DoctorTest& t) {
             enrollLocally();
             t.heartbeat.failure = std::make_exception_ptr(VarnelAPIClient::APIError::http(500, "Oops"));
         },
         title + setUp +
             "  [x] Could not reach https://print.example.com\n"
             "      " +
             VarnelAPIClient::APIError::http(500, "Oops").description() + "\n",
         1},
    };
    if (::geteuid() == 0) {
        // Settings that another user put in place of the user's own never reach the server either.
        cases.insert(cases.begin() + 4, {"settings of another user",
                         [](DoctorTest&) {
                             enrollLocally(true, "https", "https://elsewhere.example");
                             ASSERT_EQ(::chown(AgentSettings::fileURL().c_str(), 65534, 65534), 0);
                         },
                         title + "  [x] Varnel will not use the settings in " + AgentSettings::fileURL().string() +
                             ": it belongs to nobody, not to root, who owns the Varnel folder. Enroll again to "
                             "replace it.\n",
                         0});
    }
    for (const auto& c : cases) {
        CredentialStore::deviceToken().deleteItem();
        AgentSettings::clear();
        heartbeat = {};
        heartbeatTokens.clear();
        c.arrange(*this);
        EXPECT_EQ(run({"doctor"}), 0) << c.name;
        EXPECT_EQ(out.str(), c.output) << c.name;
        EXPECT_EQ(err.str(), "") << c.name;
        EXPECT_EQ(static_cast<int>(heartbeatTokens.size()), c.heartbeats) << c.name;
    }
    EXPECT_EQ(heartbeatTokens, std::vector<std::string>{"device-token-1"});
}

TEST_F(DoctorTest, PrintersThatAreNotOnlineAreListedUnderTheCount) {
    enrollLocally(true, "wss");
    discovered = {makePrinter("cups:A", "Front Zebra", PrinterTransport::cups, PrinterLanguage::zpl),
                  makePrinter("cups:B", "Back Office", PrinterTransport::cups, PrinterLanguage::zpl),
                  makePrinter("cups:C", "Shipping", PrinterTransport::cups, PrinterLanguage::tspl2),
                  makePrinter("cups:D", "Odd One", PrinterTransport::cups, PrinterLanguage::pdf)};
    findings["cups:B"] = {"offline", std::nullopt};
    findings["cups:C"] = {"error", "Cover open"};
    findings["cups:D"] = {"unavailable", std::nullopt};
    EXPECT_EQ(run({"doctor"}), 0);
    const auto lines = outLines();
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(lines[5], "  [--] Live connection wss://ws.example.com:443");
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - 4, lines.end()),
        (std::vector<std::string>{"  [ok] 4 printer(s) found, 1 reachable", "       offline  Back Office",
                                  "       error    Shipping", "       unavaila Odd One"}));
}

} // namespace
} // namespace varnel

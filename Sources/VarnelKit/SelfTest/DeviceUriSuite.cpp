#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/Transport/CupsDeviceEndpoint.hpp"
#include "VarnelKit/Transport/ReachabilityProbe.hpp"

namespace varnel::SelfTest {

void registerDeviceUriTests(TestHarness& h) {
    const std::string suite = "CUPS device URI";
    using Endpoint = std::optional<CupsDeviceEndpoint>;

    h.test(suite, "parses a Bonjour printer name", [](TestHarness::Context& c) {
        const auto endpoint = CupsDeviceEndpoint::parse(
            "dnssd://Xprinter%20XP-420B%20%40%20Edda%E2%80%99s%20Mac%20mini%20(2)._ipps._tcp.local./"
            "?uuid=31344b8b");
        const auto* bonjour = endpoint ? endpoint->as<CupsDeviceEndpoint::Bonjour>() : nullptr;
        if (!bonjour) {
            c.record("expected a Bonjour endpoint");
            return;
        }
        c.assertTrue(bonjour->serviceName.starts_with("Xprinter XP-420B"), "got: " + bonjour->serviceName);
    });

    h.test(suite, "is not confused by the query string", [](TestHarness::Context& c) {
        const auto endpoint = CupsDeviceEndpoint::parse("dnssd://Printer%20A._ipp._tcp.local./?uuid=a._ipp.b");
        const auto* bonjour = endpoint ? endpoint->as<CupsDeviceEndpoint::Bonjour>() : nullptr;
        if (!bonjour) {
            c.record("expected a Bonjour endpoint");
            return;
        }
        c.assertEqual(bonjour->serviceName, std::string("Printer A"));
    });

    h.test(suite, "parses socket and ipp endpoints with default ports", [](TestHarness::Context& c) {
        c.assertEqual(CupsDeviceEndpoint::parse("socket://10.0.4.50"),
                      Endpoint(CupsDeviceEndpoint::network("10.0.4.50", 9100)));
        c.assertEqual(CupsDeviceEndpoint::parse("socket://10.0.4.50:9101"),
                      Endpoint(CupsDeviceEndpoint::network("10.0.4.50", 9101)));
        c.assertEqual(CupsDeviceEndpoint::parse("ipp://10.0.4.50/ipp/print"),
                      Endpoint(CupsDeviceEndpoint::network("10.0.4.50", 631)));
    });

    h.test(suite, "treats USB as a local endpoint", [](TestHarness::Context& c) {
        c.assertEqual(CupsDeviceEndpoint::parse("usb://Zebra/ZD420?serial=123"), Endpoint(CupsDeviceEndpoint::local()));
    });

    h.test(suite, "returns nil for anything unrecognised", [](TestHarness::Context& c) {
        c.assertNil(CupsDeviceEndpoint::parse("smb://server/queue"));
        c.assertNil(CupsDeviceEndpoint::parse(""));
    });

    h.test(suite, "reads CUPS backend wording for a missing device", [](TestHarness::Context& c) {
        for (const std::string wording :
             {"Looking for printer.", "Waiting for printer to become available.", "The printer is not responding."}) {
            c.assertTrue(ReachabilityProbe::indicatesDisconnected(wording), "should flag: " + wording);
        }
    });
}

} // namespace varnel::SelfTest

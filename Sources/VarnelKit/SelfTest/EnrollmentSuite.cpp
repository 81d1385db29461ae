#include "VarnelKit/Agent/Enrollment.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"

namespace varnel::SelfTest {

namespace {

using APIError = VarnelAPIClient::APIError;

const std::string hostA = "varnel.example";
const std::string hostB = "labels.example.test";
const std::string hostC = "realtime.example";

std::string normalisedServer(std::string_view raw) { return std::string(Enrollment::normaliseServerURL(raw).buffer()); }

ReverbSettings realtime(std::string scheme, std::string host) { return ReverbSettings{"key", std::move(host), 8080, std::move(scheme)}; }

} // namespace

void registerEnrollmentTests(TestHarness& h) {
    const std::string suite = "Enrollment input";

    h.test(suite, "a bare hostname is assumed to be https", [](TestHarness::Context& c) {
        c.assertNoThrow([&] { c.assertEqual(normalisedServer(hostA), "https://" + hostA); });
    });

    h.test(suite, "http is refused rather than silently upgraded", [](TestHarness::Context& c) {
        c.assertThrows([] { (void)Enrollment::normaliseServerURL("http://" + hostA); });
    });

    h.test(suite, "a pasted dashboard URL keeps only the server", [](TestHarness::Context& c) {
        c.assertNoThrow([&] { c.assertEqual(normalisedServer("https://" + hostA + "/devices/enroll?x=1"), "https://" + hostA); });
    });

    h.test(suite, "a port survives normalisation", [](TestHarness::Context& c) {
        c.assertNoThrow([&] { c.assertEqual(normalisedServer(hostB + ":8443"), "https://" + hostB + ":8443"); });
    });

    h.test(suite, "a blank server means the hosted service", [](TestHarness::Context& c) {
        c.assertNoThrow([&] { c.assertEqual(normalisedServer("   "), std::string(Enrollment::defaultServerURL().buffer())); });
    });

    h.test(suite, "the default host is what the placeholder promises", [](TestHarness::Context& c) {
        const Url url = Enrollment::defaultServerURL();
        const std::optional<std::string> scheme =
            url.has_scheme() ? std::optional<std::string>(url.scheme()) : std::nullopt;
        c.assertEqual(scheme, std::optional<std::string>("https"));
    });

    h.test(suite, "a code is accepted with or without dashes, in any case", [](TestHarness::Context& c) {
        c.assertNoThrow([&] {
            c.assertEqual(Enrollment::normaliseCode("vrnl-7h3m-2qxt"), "VRNL-7H3M-2QXT");
            c.assertEqual(Enrollment::normaliseCode("VRNL7H3M2QXT"), "VRNL-7H3M-2QXT");
            c.assertEqual(Enrollment::normaliseCode(" 7H3M2QXT "), "VRNL-7H3M-2QXT");
        });
    });

    h.test(suite, "a code using excluded letters is rejected", [](TestHarness::Context& c) {
        c.assertThrows([] { (void)Enrollment::normaliseCode("VRNL-1I0O-7HM1"); });
    });

    h.test(suite, "a code of the wrong length is rejected", [](TestHarness::Context& c) {
        c.assertThrows([] { (void)Enrollment::normaliseCode("VRNL-7H3M"); });
    });

    h.test(suite, "a reason that is not about the code is passed on", [](TestHarness::Context& c) {
        c.assertEqual(Enrollment::translate(APIError::http(422, R"({"message":"This account is limited to 3 computers."})")),
                      Enrollment::Failure::server("This account is limited to 3 computers."));
        c.assertEqual(Enrollment::translate(APIError::http(422, R"({"message":"Unpaid invoice."})")),
                      Enrollment::Failure::server("Unpaid invoice."));
    });

    h.test(suite, "an unencrypted realtime address is refused", [](TestHarness::Context& c) {
        c.assertFalse(realtime("http", hostC).isAcceptable());
    });

    h.test(suite, "loopback may stay unencrypted for development", [](TestHarness::Context& c) {
        const auto settings = realtime("http", "127.0.0.1");
        c.assertTrue(settings.isAcceptable(), "refusing this would block local work");
        c.assertFalse(settings.isSecure());
    });

    h.test(suite, "a genuinely bad code keeps the wording that helps", [](TestHarness::Context& c) {
        c.assertEqual(
            Enrollment::translate(APIError::http(422, R"({"message":"This enrollment code is invalid, expired, or already used."})")),
            Enrollment::Failure::codeRejected());
    });
}

} // namespace varnel::SelfTest

#include "VarnelKit/SelfTest/SelfTest.hpp"

#include "VarnelKit/Support/Base64.hpp"

#include <chrono>

namespace varnel::SelfTest {

void registerJobPayloadTests(TestHarness& h) {
    const std::string suite = "Job payload";
    const std::string zpl = "^XA^XZ";

    h.test(suite, "decodes a UTF-8 payload", [zpl](TestHarness::Context& c) {
        const auto job = makeJob(zpl, "utf8", std::nullopt);
        c.assertNoThrow([&] { c.assertEqual(textOf(job.bytes()), zpl); });
    });

    h.test(suite, "decodes a base64 payload", [zpl](TestHarness::Context& c) {
        const auto job = makeJob(Base64::encode(std::string_view(zpl)), "base64", std::nullopt);
        c.assertNoThrow([&] { c.assertEqual(textOf(job.bytes()), zpl); });
    });

    h.test(suite, "throws when base64 is malformed", [](TestHarness::Context& c) {
        const auto job = makeJob("not!valid!base64", "base64", std::nullopt);
        c.assertThrows([&] { (void)job.bytes(); });
    });

    h.test(suite, "throws when there is no payload", [](TestHarness::Context& c) {
        const auto job = makeJob(std::nullopt, "utf8", std::nullopt);
        c.assertThrows([&] { (void)job.bytes(); });
    });

    h.test(suite, "detects expiry", [](TestHarness::Context& c) {
        const auto now = std::chrono::system_clock::now();
        const auto past = makeJob("x", "utf8", now - std::chrono::seconds(60));
        const auto future = makeJob("x", "utf8", now + std::chrono::seconds(60));
        const auto never = makeJob("x", "utf8", std::nullopt);
        c.assertTrue(past.hasExpired());
        c.assertFalse(future.hasExpired());
        c.assertFalse(never.hasExpired(), "no expiry means never expires");
    });
}

} // namespace varnel::SelfTest

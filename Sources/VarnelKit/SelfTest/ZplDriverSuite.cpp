#include "VarnelKit/Language/ZplDriver.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/SelfTest/SuiteText.hpp"

namespace varnel::SelfTest {

void registerZplTests(TestHarness& h) {
    const std::string suite = "ZPL driver";

    h.test(suite, "passes a well-formed label through", [](TestHarness::Context& c) {
        const std::string payload = "^XA^FO50,50^A0N,40^FDTEST^FS^XZ";
        c.assertNoThrow([&] {
            const std::string out = outputText(ZplDriver().prepare(bytesOf(payload), 1));
            c.assertTrue(contains(out, payload));
        });
    });

    h.test(suite, "repeats the payload for multiple copies", [](TestHarness::Context& c) {
        c.assertNoThrow([&] {
            const std::string out = outputText(ZplDriver().prepare(bytesOf("^XA^FDX^FS^XZ"), 3));
            c.assertEqual(countOccurrences(out, "^XA"), std::size_t{3});
        });
    });

    h.test(suite, "rejects a payload that isn't ZPL", [](TestHarness::Context& c) {
        c.assertThrows([] { (void)ZplDriver().prepare(bytesOf("SIZE 4,2\nPRINT 1,1"), 1); });
    });

    h.test(suite, "rejects an empty payload", [](TestHarness::Context& c) {
        c.assertThrows([] { (void)ZplDriver().prepare(bytesOf("   \n "), 1); });
    });

    h.test(suite, "rejects zero copies", [](TestHarness::Context& c) {
        c.assertThrows([] { (void)ZplDriver().prepare(bytesOf("^XA^XZ"), 0); });
    });

    h.test(suite, "strips control characters from test-label text", [](TestHarness::Context& c) {
        const std::string label = outputText(ZplDriver().testLabel("Bad^Name~Here", "2026-08-13"));
        c.assertFalse(contains(label, "Bad^Name"), "caret survived escaping");
        c.assertTrue(contains(label, "BadNameHere"));
    });

    h.test(suite, "test label is a complete ZPL label", [](TestHarness::Context& c) {
        const std::string label = outputText(ZplDriver().testLabel("P", "T"));
        c.assertTrue(label.starts_with("^XA"));
        c.assertTrue(label.ends_with("^XZ"));
    });
}

} // namespace varnel::SelfTest

#include "VarnelKit/Language/Tspl2Driver.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/SelfTest/SuiteText.hpp"

namespace varnel::SelfTest {

void registerTsplTests(TestHarness& h) {
    const std::string suite = "TSPL2 driver";

    h.test(suite, "normalises line endings to CRLF", [](TestHarness::Context& c) {
        c.assertNoThrow([&] {
            const std::string out = outputText(Tspl2Driver().prepare(bytesOf("SIZE 4,2\nCLS\nPRINT 1,1"), 1));
            c.assertTrue(contains(out, "SIZE 4,2\r\n"));
            c.assertFalse(contains(out, "2\nCLS"), "bare LF survived");
            c.assertTrue(out.ends_with("\r\n"), "final line not terminated");
        });
    });

    h.test(suite, "does not double existing CRLF", [](TestHarness::Context& c) {
        c.assertNoThrow([&] {
            const std::string out = outputText(Tspl2Driver().prepare(bytesOf("SIZE 4,2\r\nPRINT 1,1"), 1));
            c.assertFalse(contains(out, "\r\r"));
            c.assertFalse(contains(out, "\n\n"));
        });
    });

    h.test(suite, "rejects a payload with no PRINT command", [](TestHarness::Context& c) {
        c.assertThrows([] { (void)Tspl2Driver().prepare(bytesOf("SIZE 4,2\nCLS\nTEXT 30,30,\"3\",0,1,1,\"hi\""), 1); });
    });

    h.test(suite, "repeats the payload for multiple copies", [](TestHarness::Context& c) {
        c.assertNoThrow([&] {
            const std::string out = outputText(Tspl2Driver().prepare(bytesOf("SIZE 4,2\nPRINT 1,1"), 2));
            c.assertEqual(countOccurrences(out, "SIZE 4,2"), std::size_t{2});
        });
    });

    h.test(suite, "strips quotes that would terminate an argument", [](TestHarness::Context& c) {
        const std::string label = outputText(Tspl2Driver().testLabel("He said \"hi\"", "T"));
        c.assertTrue(contains(label, "He said hi"));
    });

    h.test(suite, "test label issues a PRINT", [](TestHarness::Context& c) {
        const std::string label = outputText(Tspl2Driver().testLabel("P", "T"));
        c.assertTrue(contains(label, "PRINT 1,1"));
        c.assertTrue(contains(label, "CLS"));
    });
}

} // namespace varnel::SelfTest

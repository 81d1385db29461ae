#include "VarnelKit/Language/ZplDriver.hpp"
#include "VarnelKit/Language/ZplEmulator.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/SelfTest/SuiteText.hpp"

#include <algorithm>

namespace varnel::SelfTest {

namespace {

// What a printer would make of the driver's output.
ZplEmulator::Output emulate(const Bytes& output) { return ZplEmulator().run(outputText(output)); }

ZplEmulator::Output prepareAndEmulate(std::string_view payload, std::int64_t copies) {
    return emulate(ZplDriver().prepare(bytesOf(payload), copies));
}

bool hasField(const ZplEmulator::Output& output, std::string_view text) {
    const auto fields = output.allText();
    return std::find(fields.begin(), fields.end(), text) != fields.end();
}

} // namespace

void registerZplStructureTests(TestHarness& h) {
    const std::string suite = "ZPL structure";

    h.test(suite, "one label in, one label out", [](TestHarness::Context& c) {
        c.assertNoThrow([&] {
            const auto out = prepareAndEmulate("^XA^FO50,50^FDHELLO^FS^XZ", 1);
            c.assertEqual(out.labels.size(), std::size_t{1});
            c.assertEqual(out.physicalLabelCount(), std::int64_t{1});
            c.assertEqual(out.allText(), std::vector<std::string>{"HELLO"});
            c.assertFalse(out.awaitingTerminator);
        });
    });

    h.test(suite, "three copies produce three labels", [](TestHarness::Context& c) {
        c.assertNoThrow([&] {
            const auto out = prepareAndEmulate("^XA^FDX^FS^XZ", 3);
            c.assertEqual(out.labels.size(), std::size_t{3});
            c.assertEqual(out.physicalLabelCount(), std::int64_t{3});
        });
    });

    h.test(suite, "a multi-label payload repeats as a whole", [](TestHarness::Context& c) {
        c.assertNoThrow([&] {
            const auto out = prepareAndEmulate("^XA^FDA^FS^XZ^XA^FDB^FS^XZ", 2);
            c.assertEqual(out.labels.size(), std::size_t{4});
            c.assertEqual(out.allText(), std::vector<std::string>{"A", "B", "A", "B"});
        });
    });

    h.test(suite, "control commands are never repeated", [](TestHarness::Context& c) {
        c.assertNoThrow([&] {
            const auto out = prepareAndEmulate("~JA", 5);
            c.assertEqual(out.controlCommands, std::vector<std::string>{"~JA"}, "sent once regardless of copies");
            c.assertEqual(out.labels.size(), std::size_t{0});
        });
    });

    h.test(suite, "a standalone control command is valid ZPL", [](TestHarness::Context& c) {
        c.assertNoThrow([] { (void)ZplDriver().prepare(bytesOf("~HS"), 1); });
    });

    h.test(suite, "plain text containing a tilde is rejected", [](TestHarness::Context& c) {
        c.assertThrows([] { (void)ZplDriver().prepare(bytesOf("Order ~ SO-1041 shipped"), 1); });
    });

    h.test(suite, "an unterminated label is rejected", [](TestHarness::Context& c) {
        c.assertThrows([] { (void)ZplDriver().prepare(bytesOf("^XA^FO50,50^FDOops^FS"), 1); });
    });

    h.test(suite, "text outside a label is rejected", [](TestHarness::Context& c) {
        c.assertThrows([] { (void)ZplDriver().prepare(bytesOf("^XA^FDok^FS^XZ trailing junk"), 1); });
    });

    h.test(suite, "the parser reads a declared quantity", [](TestHarness::Context& c) {
        const auto analysis = ZplParser().analyse("^XA^FDX^FS^PQ4^XZ");
        c.assertEqual(analysis.declaredQuantity, std::optional<std::int64_t>(4));
        c.assertEqual(analysis.labelCount, std::int64_t{1});
    });

    h.test(suite, "the emulator honours ^PQ", [](TestHarness::Context& c) {
        const auto out = ZplEmulator().run("^XA^FDX^FS^PQ3^XZ");
        c.assertEqual(out.labels.size(), std::size_t{1});
        c.assertEqual(out.physicalLabelCount(), std::int64_t{3}, "one label block, three sheets");
    });

    h.test(suite, "the test label is a well-formed single label", [](TestHarness::Context& c) {
        const auto out = emulate(ZplDriver().testLabel("Zebra ZT230", "2026-08-13T10:00:00Z"));
        c.assertEqual(out.labels.size(), std::size_t{1});
        c.assertFalse(out.awaitingTerminator);
        c.assertTrue(hasField(out, "Zebra ZT230"));
    });

    h.test(suite, "escaped data cannot inject a command", [](TestHarness::Context& c) {
        const auto out = emulate(ZplDriver().testLabel("^XZ^XA^FO0,0^FDINJECTED^FS", "T"));
        c.assertEqual(out.labels.size(), std::size_t{1}, "injection would have produced a second label");
        c.assertFalse(hasField(out, "INJECTED"));
    });

    h.test(suite, "accepts a realistic despatch label", [](TestHarness::Context& c) {
        const std::string despatch = "^XA\n"
                                     "^PW812\n"
                                     "^LL1218\n"
                                     "^MD10\n"
                                     "^FO50,50^A0N,60,60^FDACME LTD^FS\n"
                                     "^FO50,130^A0N,40,40^FD14 Example Road^FS\n"
                                     "^FO50,200^BY3^BCN,150,Y,N,N^FD>:SO-1041^FS\n"
                                     "^FO50,400^GB700,3,3^FS\n"
                                     "^PQ2\n"
                                     "^XZ";
        c.assertNoThrow([&] {
            const auto out = prepareAndEmulate(despatch, 1);
            c.assertEqual(out.labels.size(), std::size_t{1});
            c.assertEqual(out.physicalLabelCount(), std::int64_t{2}, "^PQ2 in the payload");
            c.assertTrue(hasField(out, "ACME LTD"));
        });
    });
}

} // namespace varnel::SelfTest

#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/Transport/PrinterDiscovery.hpp"

namespace varnel::SelfTest {

void registerLanguageInferenceTests(TestHarness& h) {
    const std::string suite = "Language inference";

    h.test(suite, "reads the IEEE-1284 CMD field", [](TestHarness::Context& c) {
        c.assertEqual(PrinterDiscovery::inferLanguage("MFG:Xprinter;CMD:TSPL2;MDL:XP-420B", ""),
                      PrinterLanguage::tspl2);
        c.assertEqual(PrinterDiscovery::inferLanguage("MFG:Zebra;CMD:ZPL;MDL:ZT230", ""), PrinterLanguage::zpl);
    });

    h.test(suite, "CMD field wins over the model name", [](TestHarness::Context& c) {
        c.assertEqual(PrinterDiscovery::inferLanguage("MFG:Zebra;CMD:TSPL2;MDL:ZD420", ""), PrinterLanguage::tspl2);
    });

    h.test(suite, "falls back to vendor hints", [](TestHarness::Context& c) {
        c.assertEqual(PrinterDiscovery::inferLanguage("", "Zebra ZT230"), PrinterLanguage::zpl);
        c.assertEqual(PrinterDiscovery::inferLanguage("", "Xprinter XP-420B"), PrinterLanguage::tspl2);
        c.assertEqual(PrinterDiscovery::inferLanguage("", "DYMO LabelWriter 550"), PrinterLanguage::dymoRaster);
    });

    h.test(suite, "returns unknown when there's nothing to go on", [](TestHarness::Context& c) {
        c.assertEqual(PrinterDiscovery::inferLanguage("", ""), PrinterLanguage::unknown);
        c.assertEqual(PrinterDiscovery::inferLanguage("", "HP Smart Tank 5100 series"), PrinterLanguage::unknown);
    });
}

} // namespace varnel::SelfTest

#include "VarnelKit/Language/DymoModel.hpp"
#include "VarnelKit/Language/LabelLanguageDrivers.hpp"
#include "VarnelKit/Language/PdfDriver.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/SelfTest/SuiteText.hpp"

namespace varnel::SelfTest {

void registerDymoTests(TestHarness& h) {
    const std::string suite = "Dymo identification";

    h.test(suite, "identifies models by USB product id", [](TestHarness::Context& c) {
        c.assertEqual(DymoModels::fromUsbProductId(0x0028), std::optional(DymoModel::labelWriter550));
        c.assertEqual(DymoModels::fromUsbProductId(0x0029), std::optional(DymoModel::labelWriter550Turbo));
        c.assertEqual(DymoModels::fromUsbProductId(0x002A), std::optional(DymoModel::labelWriter5XL));
        c.assertNil(DymoModels::fromUsbProductId(0x0020));
    });

    h.test(suite, "identifies models by name", [](TestHarness::Context& c) {
        c.assertEqual(DymoModels::fromName("DYMO LabelWriter 550"), std::optional(DymoModel::labelWriter550));
        c.assertEqual(DymoModels::fromName("DYMO LabelWriter 550 Turbo"), std::optional(DymoModel::labelWriter550Turbo));
        c.assertEqual(DymoModels::fromName("DYMO LabelWriter 5XL"), std::optional(DymoModel::labelWriter5XL));
        c.assertEqual(DymoModels::fromName("DYMO LabelWriter 450"), std::optional(DymoModel::labelWriter450Series));
        c.assertNil(DymoModels::fromName("Zebra ZT230"));
    });

    h.test(suite, "knows the print width per model", [](TestHarness::Context& c) {
        for (const DymoModel model : allCases(DymoModel{})) {
            const bool wide = model == DymoModel::labelWriter5XL;
            c.assertEqual(dotsPerLine(model), wide ? 1248 : 672, describe(model));
            c.assertEqual(bytesPerLine(model), wide ? 156 : 84, describe(model));
        }
    });

    h.test(suite, "knows which models lock consumables", [](TestHarness::Context& c) {
        c.assertTrue(requiresAuthenticConsumables(DymoModel::labelWriter550));
        c.assertTrue(requiresAuthenticConsumables(DymoModel::labelWriter550Turbo));
        c.assertTrue(requiresAuthenticConsumables(DymoModel::labelWriter5XL));
        c.assertFalse(requiresAuthenticConsumables(DymoModel::labelWriter450Series));
        c.assertFalse(requiresAuthenticConsumables(DymoModel::unknownLabelWriter));
    });

    h.test(suite, "explains itself to an operator", [](TestHarness::Context& c) {
        const std::string locked = supportMessage(DymoModel::labelWriter550);
        c.assertTrue(contains(locked, "LabelWriter 550"));
        c.assertTrue(contains(locked, "genuine DYMO label rolls"), "the 550 lock should be mentioned");
        c.assertFalse(contains(supportMessage(DymoModel::labelWriter450Series), "genuine"),
                      "the 450 has no consumable lock and should not claim one");
    });

    h.test(suite, "dymo prints as a document", [](TestHarness::Context& c) {
        const auto driver = LabelLanguageDrivers::driver(PrinterLanguage::dymoRaster);
        c.assertTrue(driver != nullptr, "expected non-nil");
        c.assertTrue(dynamic_cast<const PdfDriver*>(driver.get()) != nullptr, "dymo_raster is not driven by PdfDriver");
    });
}

} // namespace varnel::SelfTest

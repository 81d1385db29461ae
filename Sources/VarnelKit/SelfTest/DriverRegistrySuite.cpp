#include "VarnelKit/Language/LabelLanguageDrivers.hpp"
#include "VarnelKit/Language/PdfDriver.hpp"
#include "VarnelKit/Language/Tspl2Driver.hpp"
#include "VarnelKit/Language/ZplDriver.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"

namespace varnel::SelfTest {

void registerDriverRegistryTests(TestHarness& h) {
    const std::string suite = "Driver registry";

    h.test(suite, "resolves implemented languages", [](TestHarness::Context& c) {
        const auto zpl = LabelLanguageDrivers::driver(PrinterLanguage::zpl);
        const auto tspl2 = LabelLanguageDrivers::driver(PrinterLanguage::tspl2);
        c.assertTrue(zpl != nullptr, "expected non-nil");
        c.assertTrue(tspl2 != nullptr, "expected non-nil");
        c.assertTrue(dynamic_cast<const ZplDriver*>(zpl.get()) != nullptr, "zpl is not driven by ZplDriver");
        c.assertTrue(dynamic_cast<const Tspl2Driver*>(tspl2.get()) != nullptr, "tspl2 is not driven by Tspl2Driver");
    });

    h.test(suite, "documents are driven by the PDF driver", [](TestHarness::Context& c) {
        for (const PrinterLanguage language : {PrinterLanguage::dymoRaster, PrinterLanguage::pdf}) {
            const auto driver = LabelLanguageDrivers::driver(language);
            c.assertTrue(dynamic_cast<const PdfDriver*>(driver.get()) != nullptr,
                         describe(language) + " is not driven by PdfDriver");
            if (driver) c.assertEqual(driver->language(), PrinterLanguage::pdf);
        }
    });

    h.test(suite, "an unidentified printer still has no driver", [](TestHarness::Context& c) {
        c.assertTrue(LabelLanguageDrivers::driver(PrinterLanguage::unknown) == nullptr, "expected nil");
    });
}

} // namespace varnel::SelfTest

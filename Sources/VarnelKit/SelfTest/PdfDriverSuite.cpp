#include "VarnelKit/Language/PdfDriver.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/Support/Base64.hpp"

namespace varnel::SelfTest {

void registerPdfTests(TestHarness& h) {
    const std::string suite = "PDF driver";
    const Bytes fixture = bytesOf("%PDF-1.4\nminimal\n%%EOF");

    h.test(suite, "passes a PDF through untouched", [fixture](TestHarness::Context& c) {
        c.assertNoThrow([&] { c.assertEqual(PdfDriver().prepare(fixture, 1), fixture); });
    });

    h.test(suite, "does not repeat the document for copies", [fixture](TestHarness::Context& c) {
        c.assertNoThrow(
            [&] { c.assertEqual(PdfDriver().prepare(fixture, 3).size(), fixture.size(), "payload grew with copies"); });
    });

    h.test(suite, "rejects a payload that is not a PDF", [](TestHarness::Context& c) {
        c.assertThrows([] { (void)PdfDriver().prepare(bytesOf("^XA^XZ"), 1); });
    });

    h.test(suite, "rejects an empty payload", [](TestHarness::Context& c) {
        c.assertThrows([] { (void)PdfDriver().prepare(Bytes{}, 1); });
    });

    h.test(suite, "rejects zero copies", [fixture](TestHarness::Context& c) {
        c.assertThrows([&] { (void)PdfDriver().prepare(fixture, 0); });
    });

    h.test(suite, "its own test label is a valid PDF it would accept", [](TestHarness::Context& c) {
        c.assertNoThrow([] {
            const PdfDriver driver;
            (void)driver.prepare(driver.testLabel("DYMO LabelWriter 550", "2026-08-13T10:00:00Z"), 1);
        });
    });

    h.test(suite, "documents are binary, so they travel base64", [fixture](TestHarness::Context& c) {
        c.assertFalse(isText(PrinterLanguage::pdf));
        c.assertFalse(isText(PrinterLanguage::dymoRaster));
        // Bytes that are no text at all come through a job record intact.
        Bytes binary = fixture;
        binary.insert(binary.end(), {0x00, 0xFF, 0xC3, 0x28});
        c.assertNoThrow([&] { c.assertEqual(makeJob(Base64::encode(binary), "base64", std::nullopt).bytes(), binary); });
    });

    h.test(suite, "command languages are not documents", [](TestHarness::Context& c) {
        c.assertFalse(isDocument(PrinterLanguage::zpl));
        c.assertFalse(isDocument(PrinterLanguage::tspl2));
    });
}

} // namespace varnel::SelfTest

#include "VarnelKit/Language/PdfDriver.hpp"

#include "VarnelKit/Language/DriverSupport.hpp"
#include "VarnelKit/Support/NumberText.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace varnel {

Bytes PdfDriver::prepare(const Bytes& data, std::int64_t copies) const {
    DriverSupport::requireCopies(copies);
    if (data.empty()) DriverSupport::refuse(DriverSupport::Refusal::pdfEmpty);
    constexpr std::string_view magic = "%PDF-";
    if (data.size() < magic.size() || !std::equal(magic.begin(), magic.end(), data.begin())) {
        DriverSupport::refuse(DriverSupport::Refusal::notPdf);
    }
    return data;
}

namespace {

// A 226 by 226 point page with "Varnel" in 18-point and "Test label" in 10-point Helvetica. The
// cross-reference table and the stream length are worked out here, so that strict readers
// (the print system's filters among them) take the file as it is instead of repairing it.
std::string testDocument() {
    constexpr std::string_view content = "BT /F1 18 Tf 24 130 Td (Varnel) Tj ET\n"
                                         "BT /F1 10 Tf 24 108 Td (Test label) Tj ET";
    const std::array<std::string, 5> objects = {
        "1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj",
        "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj",
        "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 226 226]/Resources<</Font<</F1 4 0 R>>>>"
        "/Contents 5 0 R>>endobj",
        "4 0 obj<</Type/Font/Subtype/Type1/BaseFont/Helvetica>>endobj",
        "5 0 obj<</Length " + NumberText::integer(static_cast<std::int64_t>(content.size())) + ">>stream\n" +
            std::string(content) + "\nendstream\nendobj",
    };
    const auto tenDigits = [](std::size_t value) {
        const std::string digits = NumberText::integer(static_cast<std::int64_t>(value));
        return std::string(10 - std::min<std::size_t>(10, digits.size()), '0') + digits;
    };
    std::string document = "%PDF-1.4\n";
    std::string table = "xref\n0 6\n0000000000 65535 f \n";
    for (const std::string& object : objects) {
        table += tenDigits(document.size()) + " 00000 n \n";
        document += object + "\n";
    }
    const std::size_t tableOffset = document.size();
    document += table;
    document += "trailer<</Size 6/Root 1 0 R>>\nstartxref\n" +
                NumberText::integer(static_cast<std::int64_t>(tableOffset)) + "\n%%EOF";
    return document;
}

} // namespace

Bytes PdfDriver::testLabel(const std::string&, const std::string&) const {
    static const std::string document = testDocument();
    return bytesOf(document);
}

} // namespace varnel

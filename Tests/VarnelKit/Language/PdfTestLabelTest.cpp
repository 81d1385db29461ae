// The PDF test label checked by the PDF tools the print system itself rests on.
#include "TemporaryDirectory.hpp"
#include "VarnelKit/Language/PdfDriver.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace varnel {
namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;
    std::string output; // standard output and standard error together
};

ToolRun run(const std::string& command) {
    ToolRun result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer{};
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) result.output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class PdfTestLabel : public ::testing::Test {
protected:
    void SetUp() override {
        const Bytes label = PdfDriver().testLabel("DYMO LabelWriter 550", "2026-08-13T10:00:00Z");
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(label.data()),
                                                     static_cast<std::streamsize>(label.size()));
    }

    TemporaryDirectory dir;
    const fs::path file = dir.path() / "label.pdf";
};

TEST_F(PdfTestLabel, PassesQpdfCheckWithoutWarnings) {
    const ToolRun check = run("qpdf --check '" + file.string() + "'");
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(check.output.find("WARNING"), std::string::npos) << check.output;
    EXPECT_NE(check.output.find("No syntax or stream encoding errors found"), std::string::npos) << check.output;
}

TEST_F(PdfTestLabel, RendersOnePageWithItsTwoLines) {
    const ToolRun render = run("pdftoppm -r 72 -png '" + file.string() + "' '" + (dir.path() / "page").string() + "'");
    EXPECT_EQ(render.status, 0) << render.output;
    EXPECT_EQ(render.output, ""); // no syntax warnings either
    std::size_t pages = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) pages += entry.path().extension() == ".png";
    EXPECT_EQ(pages, 1u);

    const ToolRun text = run("pdftotext -layout '" + file.string() + "' -");
    EXPECT_EQ(text.status, 0) << text.output;
    EXPECT_NE(text.output.find("Varnel"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("Test label"), std::string::npos) << text.output;

    const ToolRun info = run("pdfinfo '" + file.string() + "'");
    EXPECT_NE(info.output.find("226 x 226 pts"), std::string::npos) << info.output;
}

TEST(PdfTestLabelBytes, IgnoresItsArgumentsAndPassesItsDriver) {
    const PdfDriver driver;
    const Bytes label = driver.testLabel("A", "B");
    EXPECT_EQ(label, driver.testLabel("another printer", "another time"));
    EXPECT_EQ(driver.prepare(label, 4), label);
    const std::string text = textOf(label);
    EXPECT_TRUE(text.starts_with("%PDF-1.4\n"));
    EXPECT_TRUE(text.ends_with("\n%%EOF"));
}

} // namespace
} // namespace varnel

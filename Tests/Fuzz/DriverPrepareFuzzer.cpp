// Each language driver's prepare on any payload and a copy count picked by the first byte: it
// gives bytes within the 64 MiB a job may send, or refuses with a JobError of payload_invalid.
// The test label takes any printer name and time text without throwing.
#include "FuzzCheck.hpp"
#include "VarnelKit/Language/LabelLanguageDrivers.hpp"
#include "VarnelKit/Protocol/JobError.hpp"

#include <array>
#include <limits>

using namespace varnel;
using fuzz::require;

namespace {

constexpr std::array<PrinterLanguage, 4> languages = {PrinterLanguage::zpl, PrinterLanguage::tspl2,
                                                      PrinterLanguage::pdf, PrinterLanguage::dymoRaster};
constexpr std::array<std::int64_t, 10> copyCounts = {1,
                                                     2,
                                                     3,
                                                     0,
                                                     -1,
                                                     std::numeric_limits<std::int64_t>::min(),
                                                     1000,
                                                     7,
                                                     std::numeric_limits<std::int64_t>::max(),
                                                     std::int64_t{1} << 33};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const PrinterLanguage language = languages[data[0] % languages.size()];
    const std::int64_t copies = copyCounts[(data[0] / languages.size()) % copyCounts.size()];
    const auto driver = LabelLanguageDrivers::driver(language);
    require(driver != nullptr && driver->language() != PrinterLanguage::unknown,
            "every document language has a driver");

    const Bytes payload(data + 1, data + size);
    try {
        const Bytes prepared = driver->prepare(payload, copies);
        require(!prepared.empty(), "prepared data is not empty");
        require(prepared.size() <= std::size_t{64} * 1024 * 1024, "prepared data fits a job");
    } catch (const JobError& error) {
        require(error.code == JobErrorCode::payloadInvalid, "a refused payload is payload_invalid");
        require(error.message.has_value() && !error.message->empty(), "a refusal says why");
    }

    const std::string text(fuzz::textOf(data + 1, size - 1));
    const std::size_t half = text.size() / 2;
    require(!driver->testLabel(text.substr(0, half), text.substr(half)).empty(), "a test label");
    return 0;
}

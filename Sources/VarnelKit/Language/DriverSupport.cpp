#include "VarnelKit/Language/DriverSupport.hpp"

#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <algorithm>

namespace varnel::DriverSupport {

std::string Refusal::outputTooLarge(std::uint64_t copies) {
    return "The printer data for " + NumberText::integer(static_cast<std::int64_t>(copies)) +
           (copies == 1 ? " copy" : " copies") + " would be larger than the 64 MiB a job may send";
}

void refuse(std::string message) { throw JobError(JobErrorCode::payloadInvalid, std::move(message)); }

void requireCopies(std::int64_t copies) {
    if (copies < 1) refuse(Refusal::copiesBelowOne);
}

std::string trimmedText(const Bytes& data, std::string_view language) {
    const std::string_view raw(reinterpret_cast<const char*>(data.data()), data.size());
    if (!Text::isValidUtf8(raw)) refuse(std::string(language) + std::string(Refusal::notUtf8));
    std::string trimmed = Text::trimWhitespace(raw);
    if (trimmed.empty()) refuse(std::string(language) + std::string(Refusal::empty));
    return trimmed;
}

Bytes repeated(std::string_view unit, std::int64_t times) {
    const auto count = static_cast<std::uint64_t>(times < 1 ? 1 : times);
    if (unit.size() > 0 && count > maximumOutputSize / unit.size()) {
        refuse(Refusal::outputTooLarge(count));
    }
    // Copies double the part already written, so many small copies cost a few large copies.
    Bytes out(unit.size() * count);
    std::copy(unit.begin(), unit.end(), out.begin());
    for (std::size_t filled = unit.size(); filled > 0 && filled < out.size();) {
        const std::size_t chunk = std::min(filled, out.size() - filled);
        std::copy_n(out.begin(), chunk, out.begin() + static_cast<std::ptrdiff_t>(filled));
        filled += chunk;
    }
    return out;
}

namespace {
bool isLineBreak(char32_t scalar) {
    switch (scalar) {
    case U'\n':
    case U'\v':
    case U'\f':
    case U'\r':
    case U'\u0085':
    case U'\u2028':
    case U'\u2029': return true;
    default: return false;
    }
}
} // namespace

std::string withoutLineBreaksOr(std::string_view text, std::string_view dropped) {
    std::string out;
    out.reserve(text.size());
    for (char32_t scalar : Text::codePoints(Text::makeValidUtf8(text)).value_or(std::u32string{})) {
        if (isLineBreak(scalar)) continue;
        if (scalar < 0x80 && dropped.find(static_cast<char>(scalar)) != std::string_view::npos) continue;
        Text::appendCodePoint(out, scalar);
    }
    return out;
}

} // namespace varnel::DriverSupport

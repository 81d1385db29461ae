#include "VarnelKit/Support/SafeText.hpp"

#include "VarnelKit/Support/Characters.hpp"
#include "VarnelKit/Support/Text.hpp"

namespace varnel::SafeText {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD"; // U+FFFD
constexpr std::string_view ellipsis = "\xE2\x80\xA6";    // U+2026
constexpr std::size_t maxBytesPerCharacter = 4;

bool isControlByte(unsigned char byte) { return (byte < 0x20 && byte != '\t') || byte == 0x7F; }

// In valid UTF-8 the C1 controls U+0080…U+009F are exactly C2 80…C2 9F.
bool isC1At(std::string_view valid, std::size_t i) {
    return static_cast<unsigned char>(valid[i]) == 0xC2 && i + 1 < valid.size() &&
           static_cast<unsigned char>(valid[i + 1]) <= 0x9F;
}

bool hasControls(std::string_view valid) {
    for (std::size_t i = 0; i < valid.size(); ++i) {
        if (isControlByte(static_cast<unsigned char>(valid[i])) || isC1At(valid, i))
            return true;
    }
    return false;
}

std::string withoutControls(std::string valid) {
    if (!hasControls(valid))
        return valid;
    std::string out;
    out.reserve(valid.size() + 16);
    for (std::size_t i = 0; i < valid.size(); ++i) {
        if (isControlByte(static_cast<unsigned char>(valid[i]))) {
            out += replacement;
        } else if (isC1At(valid, i)) {
            out += replacement;
            ++i;
        } else {
            out += valid[i];
        }
    }
    return out;
}

// The first `maxBytes` bytes, moved back to the start of a UTF-8 sequence when they would end
// inside one (ill-formed text is moved back no further than a sequence could be long).
std::string_view rawPrefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes)
        return text;
    std::size_t end = maxBytes;
    for (std::size_t back = 0; back < 3 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++back)
        --end;
    return text.substr(0, end);
}

} // namespace

std::string firstCharacters(std::string_view text, std::size_t limit) {
    // Every character takes at least one byte, so short valid text is kept as it is.
    if (text.size() <= limit && Text::isValidUtf8(text))
        return std::string(text);
    const Characters characters(text);
    std::size_t end = 0;
    for (std::size_t count = 0; count < limit && end < characters.endIndex(); ++count)
        end = characters.indexAfter(end);
    return characters.text().substr(0, end);
}

std::string line(std::string_view text, std::size_t limit) {
    if (limit == 0)
        return {};
    const std::size_t byteLimit = limit * maxBytesPerCharacter;
    const std::string_view head = rawPrefix(text, byteLimit);
    bool cut = head.size() < text.size();
    const std::string clean = withoutControls(Text::makeValidUtf8(head));
    if (!cut && clean.size() <= limit)
        return clean;
    if (!cut) {
        std::string kept = firstCharacters(clean, limit);
        if (kept.size() == clean.size() && clean.size() <= byteLimit)
            return kept;
    }
    // The ellipsis takes one character and its bytes of the bounds.
    return firstCharacters(Text::truncatedUtf8(clean, byteLimit - ellipsis.size()), limit - 1) +
           std::string(ellipsis);
}

std::string lines(std::string_view text, std::size_t limitPerLine) {
    std::string out;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find('\n', start);
        out += line(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start),
                    limitPerLine);
        if (end == std::string_view::npos)
            return out;
        out += '\n';
        start = end + 1;
    }
}

} // namespace varnel::SafeText

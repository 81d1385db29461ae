#include "VarnelKit/Support/Text.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

namespace varnel::Text {

namespace {

// Decodes one well-formed UTF-8 sequence at text[i]. Returns its length, or 0 when the bytes at i
// start no well-formed sequence; in that case `bad` is the length of the maximal ill-formed
// subpart, which is replaced by one U+FFFD.
std::size_t decodeOne(std::string_view text, std::size_t i, char32_t& cp, std::size_t& bad) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    bad = 1;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) low = 0xA0;
        if (b0 == 0xED) high = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0) low = 0x90;
        if (b0 == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (i + k >= text.size()) {
            bad = k;
            return 0;
        }
        const unsigned char b = byte(i + k);
        const unsigned char lo = (k == 1) ? low : 0x80;
        const unsigned char hi = (k == 1) ? high : 0xBF;
        if (b < lo || b > hi) {
            bad = k;
            return 0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    return length;
}

} // namespace

bool isValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp;
        std::size_t bad;
        const std::size_t n = decodeOne(text, i, cp, bad);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string makeValidUtf8(std::string_view text) {
    if (isValidUtf8(text)) return std::string(text);
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp;
        std::size_t bad;
        const std::size_t n = decodeOne(text, i, cp, bad);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            i += bad;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::optional<std::u32string> codePoints(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp;
        std::size_t bad;
        const std::size_t n = decodeOne(text, i, cp, bad);
        if (n == 0) return std::nullopt;
        out.push_back(cp);
        i += n;
    }
    return out;
}

void appendCodePoint(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string fromCodePoints(std::u32string_view cps) {
    std::string out;
    out.reserve(cps.size());
    for (char32_t cp : cps) appendCodePoint(out, cp);
    return out;
}

namespace {

// Making a break iterator loads and compiles ICU's rules, which costs far more than using one, and
// the ZPL scanner asks for the characters of a short text at every command. So each thread keeps
// one iterator and points it at each text anew. Null when ICU has no data.
icu::BreakIterator* characterBreaker() {
    thread_local const std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status))
            made.reset();
        return made;
    }();
    return iterator.get();
}

bool isAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

} // namespace

std::vector<std::string> graphemes(std::string_view text) {
    std::vector<std::string> out;
    if (text.empty()) return out;
    // Every ASCII character stands alone, except that CR LF is one.
    if (isAscii(text)) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const bool crlf = text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
            out.emplace_back(text.substr(i, crlf ? 2 : 1));
            if (crlf)
                ++i;
        }
        return out;
    }
    const std::string valid = makeValidUtf8(text);
    icu::BreakIterator* const it = characterBreaker();
    if (!it) {
        // Without ICU's data, fall back to one character per code point.
        for (char32_t cp : codePoints(valid).value_or(std::u32string{})) {
            out.push_back(fromCodePoints(std::u32string_view(&cp, 1)));
        }
        return out;
    }
    const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(valid);
    it->setText(unicode);
    int32_t start = it->first();
    for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
        std::string piece;
        unicode.tempSubStringBetween(start, end).toUTF8String(piece);
        out.push_back(std::move(piece));
    }
    // The iterator refers to the text it walks; it must not keep pointing at this call's text.
    static const icu::UnicodeString nothing;
    it->setText(nothing);
    return out;
}

bool isWhitespace(char32_t cp) { return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_WHITE_SPACE); }

bool isAlphabetic(char32_t cp) { return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_ALPHABETIC); }

bool isNumeric(char32_t cp) {
    return u_getIntPropertyValue(static_cast<UChar32>(cp), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

bool isSpaceSeparator(char32_t cp) { return u_charType(static_cast<UChar32>(cp)) == U_SPACE_SEPARATOR; }

bool isWhitespace(std::string_view character) {
    const auto cps = codePoints(character);
    if (!cps || cps->empty()) return false;
    for (char32_t cp : *cps) {
        if (!isWhitespace(cp)) return false;
    }
    return true;
}

std::string trimWhitespace(std::string_view text) {
    if (!isValidUtf8(text)) return std::string(text);
    // Only the ends are decoded, so trimming a large payload copies it once.
    std::size_t begin = 0, end = text.size();
    while (begin < end) {
        char32_t cp;
        std::size_t bad;
        const std::size_t n = decodeOne(text, begin, cp, bad);
        if (!isWhitespace(cp)) break;
        begin += n;
    }
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        char32_t cp;
        std::size_t bad;
        decodeOne(text, start, cp, bad);
        if (!isWhitespace(cp)) break;
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string uppercased(std::string_view text) {
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(makeValidUtf8(text));
    std::string out;
    unicode.toUpper(icu::Locale::getRoot()).toUTF8String(out);
    return out;
}

std::string lowercased(std::string_view text) {
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(makeValidUtf8(text));
    std::string out;
    unicode.toLower(icu::Locale::getRoot()).toUTF8String(out);
    return out;
}

std::string truncatedUtf8(std::string_view text, std::size_t maxBytes) {
    const std::string valid = makeValidUtf8(text);
    if (valid.size() <= maxBytes) return valid;
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(valid[cut]) & 0xC0) == 0x80) --cut;
    return valid.substr(0, cut);
}

} // namespace varnel::Text

#include "VarnelKit/Support/Characters.hpp"

#include "VarnelKit/Support/Text.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>

#include <algorithm>
#include <cstdint>

namespace varnel {

struct Characters::Breaker {
    UText* utext = nullptr;
    std::unique_ptr<icu::BreakIterator> iterator;

    explicit Breaker(const std::string& text) {
        UErrorCode status = U_ZERO_ERROR;
        utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
        if (U_FAILURE(status)) {
            utext = nullptr;
            return;
        }
        iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_SUCCESS(status) && iterator) iterator->setText(utext, status);
        if (U_FAILURE(status)) iterator.reset();
    }
    ~Breaker() {
        iterator.reset();
        if (utext) utext_close(utext);
    }
    Breaker(const Breaker&) = delete;
    Breaker& operator=(const Breaker&) = delete;
};

Characters::Characters(std::string_view text) : text_(Text::makeValidUtf8(text)) {}

Characters::~Characters() = default;

namespace {

bool isAsciiByte(char byte) { return static_cast<unsigned char>(byte) < 0x80; }

std::size_t sequenceLength(char lead) {
    const auto b = static_cast<unsigned char>(lead);
    if (b < 0x80) return 1;
    if (b >= 0xF0) return 4;
    if (b >= 0xE0) return 3;
    return 2;
}

} // namespace

std::size_t Characters::count(std::string_view text) {
    // ASCII, the usual payload: a character per byte, but CR LF is one.
    std::size_t crlf = 0;
    bool ascii = true;
    for (std::size_t i = 0; i < text.size() && ascii; ++i) {
        ascii = isAsciiByte(text[i]);
        crlf += text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
    }
    if (ascii) return text.size() - crlf;
    if (!Text::isValidUtf8(text)) {
        // Rare enough to take the copy that makes it valid.
        const Characters characters(text);
        std::size_t n = 0;
        for (std::size_t i = 0; i < characters.endIndex(); i = characters.indexAfter(i)) ++n;
        return n;
    }
    UErrorCode status = U_ZERO_ERROR;
    UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    std::size_t n = 0;
    if (U_SUCCESS(status) && iterator) {
        iterator->setText(utext, status);
        if (U_SUCCESS(status)) {
            for (auto at = iterator->next(); at != icu::BreakIterator::DONE; at = iterator->next()) ++n;
        }
    }
    iterator.reset();
    if (utext) utext_close(utext);
    return n;
}

std::size_t Characters::indexAfter(std::size_t index) const {
    const std::size_t end = text_.size();
    if (index >= end) return end;
    // Between two ASCII characters there is always a boundary, except inside CR LF; only text
    // with other characters needs the full rules.
    if (isAsciiByte(text_[index]) && (index + 1 == end || isAsciiByte(text_[index + 1]))) {
        if (text_[index] == '\r' && index + 1 < end && text_[index + 1] == '\n') return index + 2;
        return index + 1;
    }
    if (!breaker_) breaker_ = std::make_unique<Breaker>(text_);
    if (breaker_->iterator && index < static_cast<std::size_t>(INT32_MAX)) {
        const int32_t next = breaker_->iterator->following(static_cast<int32_t>(index));
        if (next != icu::BreakIterator::DONE && static_cast<std::size_t>(next) > index) {
            return static_cast<std::size_t>(next);
        }
        return end;
    }
    // Without ICU's data, one character per scalar.
    return std::min(end, index + sequenceLength(text_[index]));
}

std::string_view Characters::character(std::size_t index) const {
    if (index >= text_.size()) return {};
    return std::string_view(text_).substr(index, indexAfter(index) - index);
}

bool Characters::is(std::size_t index, char ascii) const {
    return index < text_.size() && text_[index] == ascii && indexAfter(index) == index + 1;
}

char32_t Characters::firstScalar(std::size_t index) const {
    if (index >= text_.size()) return 0;
    if (isAsciiByte(text_[index])) return static_cast<unsigned char>(text_[index]);
    const auto scalars = Text::codePoints(std::string_view(text_).substr(index, sequenceLength(text_[index])));
    return scalars && !scalars->empty() ? scalars->front() : U'\uFFFD';
}

bool Characters::isLetter(std::size_t index) const { return Text::isAlphabetic(firstScalar(index)); }

bool Characters::isNumber(std::size_t index) const { return Text::isNumeric(firstScalar(index)); }

bool Characters::isWhitespace(std::size_t index) const { return Text::isWhitespace(firstScalar(index)); }

} // namespace varnel

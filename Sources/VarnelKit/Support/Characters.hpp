#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace varnel {

// The user-perceived characters (extended grapheme clusters) of a text, walked in place. A
// character is addressed by the byte offset where it starts, so that a payload of many megabytes
// is never split into one string per character. Ill-formed UTF-8 is read as U+FFFD.
//
// Not copyable or movable: the break iterator refers to the text it holds. Not for sharing
// between threads.
class Characters {
public:
    explicit Characters(std::string_view text);
    ~Characters();
    Characters(const Characters&) = delete;
    Characters& operator=(const Characters&) = delete;

    // How many characters the text holds, read in place: a payload of many megabytes is not
    // copied to be counted.
    static std::size_t count(std::string_view text);

    const std::string& text() const noexcept { return text_; }
    // The offset past the last character.
    std::size_t endIndex() const noexcept { return text_.size(); }

    // The offset where the next character starts; index must start a character before the end.
    std::size_t indexAfter(std::size_t index) const;
    std::string_view character(std::size_t index) const;
    // True when the character at index is exactly this one ASCII character (a caret followed by
    // a combining mark is another character).
    bool is(std::size_t index, char ascii) const;

    // Properties of the character, read from its first scalar.
    char32_t firstScalar(std::size_t index) const;
    bool isLetter(std::size_t index) const;
    bool isNumber(std::size_t index) const;
    bool isWhitespace(std::size_t index) const;

private:
    struct Breaker;

    std::string text_;
    mutable std::unique_ptr<Breaker> breaker_; // made on the first character that needs ICU
};

} // namespace varnel

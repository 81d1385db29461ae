#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::Text {

// UTF-8 validity. Text that comes from C libraries, files or the network is cleaned where it
// enters, so that everything the agent keeps, logs or sends is valid UTF-8.
bool isValidUtf8(std::string_view text);
// Replaces every ill-formed sequence with U+FFFD (one per maximal ill-formed subpart).
std::string makeValidUtf8(std::string_view text);

// The code points of valid UTF-8 text; none when the text is not valid UTF-8.
std::optional<std::u32string> codePoints(std::string_view text);
std::string fromCodePoints(std::u32string_view codePoints);
void appendCodePoint(std::string& out, char32_t codePoint);

// User-perceived characters (extended grapheme clusters) of valid UTF-8 text.
std::vector<std::string> graphemes(std::string_view text);

// The Unicode White_Space property: the set that "whitespace and newlines" means.
bool isWhitespace(char32_t codePoint);
bool isWhitespace(std::string_view character);
// The Alphabetic property (what "a letter" means), and a Numeric_Type other than None (what "a
// number character" means: digits of any script, fractions, Roman numerals).
bool isAlphabetic(char32_t codePoint);
bool isNumeric(char32_t codePoint);
// Unicode general category Zs (the space separators), which leaves out tabs and line breaks.
bool isSpaceSeparator(char32_t codePoint);
// Removes White_Space code points from both ends of valid UTF-8 text.
std::string trimWhitespace(std::string_view text);

// Full Unicode case mapping in the root locale ("ß" becomes "SS").
std::string uppercased(std::string_view text);
std::string lowercased(std::string_view text);

// At most maxBytes bytes of the text, never cutting a character in half.
std::string truncatedUtf8(std::string_view text, std::size_t maxBytes);

} // namespace varnel::Text

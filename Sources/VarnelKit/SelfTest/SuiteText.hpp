#pragma once

#include "VarnelKit/Support/Bytes.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <cstddef>
#include <string>
#include <string_view>

// Reading printer output as text in the suites.
namespace varnel::SelfTest {

// The bytes as UTF-8 text; an ill-formed sequence becomes U+FFFD, never an error.
inline std::string outputText(const Bytes& bytes) { return Text::makeValidUtf8(textOf(bytes)); }

inline bool contains(std::string_view text, std::string_view piece) { return text.find(piece) != std::string_view::npos; }

// How often the piece occurs: the number of pieces less one when the text is split at it.
inline std::size_t countOccurrences(std::string_view text, std::string_view piece) {
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string_view::npos; at = text.find(piece, at + piece.size())) {
        ++count;
    }
    return count;
}

} // namespace varnel::SelfTest

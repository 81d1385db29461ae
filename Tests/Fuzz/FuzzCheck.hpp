#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace varnel::fuzz {

// A property every input must keep. Breaking it is a crash, so libFuzzer keeps the input.
inline void require(bool holds, const char* property) {
    if (holds)
        return;
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
}

inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
    return std::string_view(reinterpret_cast<const char*>(data), size);
}

// Runs a decoder that may refuse its input with the given error type; any other exception escapes
// and ends the run as a crash.
template <class Refusal, class Decode> bool decodes(Decode&& decode) {
    try {
        decode();
        return true;
    } catch (const Refusal&) {
        return false;
    }
}

} // namespace varnel::fuzz

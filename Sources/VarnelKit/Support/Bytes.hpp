#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// Printer data and other binary buffers. A distinct type from text so that it is never shown or
// logged as if it were characters.
using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

} // namespace varnel

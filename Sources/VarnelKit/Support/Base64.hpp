#pragma once

#include "VarnelKit/Support/Bytes.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace varnel::Base64 {

// Standard alphabet with "=" padding, no line breaks.
std::string encode(const Bytes& bytes);
std::string encode(std::string_view bytes);

// Strict: standard alphabet only, padding required (length a multiple of 4), no white space, no
// line breaks, no URL-safe characters. None for anything else.
std::optional<Bytes> decode(std::string_view text);

} // namespace varnel::Base64

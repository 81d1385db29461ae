#pragma once

#include <string_view>

namespace varnel {

// Writes every byte to the descriptor, going on after interruptions and short writes. Returns 0,
// or the errno of the write that failed (EIO for a write that took nothing).
int writeAll(int descriptor, std::string_view data) noexcept;

} // namespace varnel

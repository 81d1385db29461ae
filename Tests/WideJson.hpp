#pragma once

#include <cstddef>
#include <string>

namespace varnel::testing {

// JSON text of about `size` bytes that is wide rather than deep: `head`, then empty objects,
// "{},{},...", then `tail`. Each three bytes of it are a value and a map of its own in memory.
inline std::string emptyObjects(const std::string& head, std::size_t size, const std::string& tail) {
    std::string text = head;
    text.reserve(size + tail.size() + 2);
    while (text.size() + 3 + tail.size() < size)
        text += "{},";
    text += "{}" + tail;
    return text;
}

} // namespace varnel::testing

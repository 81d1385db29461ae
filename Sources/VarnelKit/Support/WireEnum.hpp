#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

// An enumeration that travels as text: it has rawValue(E) and allCases(E{}) found by lookup.
template <class E>
concept WireEnum = std::is_enum_v<E> && requires(E e) {
    { rawValue(e) } -> std::convertible_to<std::string_view>;
    allCases(E{});
};

// The case whose raw value equals the text exactly (case-sensitive); none otherwise.
template <WireEnum E> std::optional<E> fromRawValue(std::string_view text) {
    for (E e : allCases(E{})) {
        if (rawValue(e) == text) return e;
    }
    return std::nullopt;
}

} // namespace varnel

#pragma once

#include "VarnelKit/Support/Bytes.hpp"
#include "VarnelKit/Support/NumberText.hpp"

#include <concepts>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace varnel {

// How the self-test shows a value in a failure message: the value's plain text, an optional
// unwrapped (or "nil"), a list as [a, b], a byte buffer by its size. Types of the agent add their
// own describe() overload next to the type; a type without one does not compile in an assertion.
inline std::string describe(const std::string& value) { return value; }
inline std::string describe(std::string_view value) { return std::string(value); }
inline std::string describe(const char* value) { return value ? value : "nil"; }
inline std::string describe(bool value) { return value ? "true" : "false"; }
inline std::string describe(char value) { return std::string(1, value); }
inline std::string describe(double value) { return NumberText::shortest(value); }
inline std::string describe(std::nullopt_t) { return "nil"; }
inline std::string describe(const Bytes& bytes) { return NumberText::integer(static_cast<std::int64_t>(bytes.size())) + " bytes"; }

template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>)
std::string describe(T value) {
    if constexpr (std::is_signed_v<T>) {
        return NumberText::integer(static_cast<std::int64_t>(value));
    } else {
        return std::to_string(value);
    }
}

template <class T>
concept Describable = requires(const T& value) {
    { describe(value) } -> std::convertible_to<std::string>;
};

template <Describable T> std::string describe(const std::optional<T>& value) {
    return value ? describe(*value) : std::string("nil");
}

template <Describable T>
    requires(!std::same_as<T, std::uint8_t>)
std::string describe(const std::vector<T>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out += ", ";
        out += describe(values[i]);
    }
    return out + "]";
}

} // namespace varnel

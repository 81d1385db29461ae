#pragma once

#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/Iso8601.hpp"
#include "VarnelKit/Support/WireEnum.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// Strict access to received JSON. nlohmann's own get<> converts too much (5.5 to 5, true to 1,
// wraps large numbers), so every field of a wire model is read through these helpers: a missing
// required key, a null, a wrong type or an unknown enumeration value fails the whole message.
namespace json {

using Value = nlohmann::json;
// Written objects keep their keys in declaration order.
using Ordered = nlohmann::ordered_json;
using Date = std::chrono::system_clock::time_point;

class DecodeError : public Error {
public:
    using Error::Error;
};

// No message of the server nests deeper than a few levels. Text nested deeper is refused before
// anything of it is built: each level costs memory and time, and a reply or frame of nothing but
// "[" would otherwise take many times its own size.
inline constexpr std::size_t maxDepth = 32;

// Received text longer than this is parsed off the agent loop: parsing takes about a millisecond
// for every few dozen kilobytes, and the loop must not stand still for a reply or a frame.
inline constexpr std::size_t parseOnLoopLimit = 64 * 1024;

// A value in memory costs many times its text: an empty object, three bytes with its comma, is a
// 16-byte value and a map of its own on the heap. So what one text may build is bounded too,
// counted as the heap takes it (the text of strings aside, which is never more than the text's own
// size): a pending list of a hundred thousand jobs fits in it, while text of nothing but
// "[{},{},..." is refused after some two megabytes of it, long before the memory runs out.
inline constexpr std::size_t maxBuildBytes = 64u << 20;

// Text beyond one of the bounds above: refused before what lies beyond is built.
class BeyondBounds : public DecodeError {
public:
    using DecodeError::DecodeError;
};

class NestingTooDeep : public BeyondBounds {
public:
    NestingTooDeep();
};

class TooManyValues : public BeyondBounds {
public:
    TooManyValues();
};

// Parses text; a syntax error, nesting deeper than maxDepth (NestingTooDeep), more values than
// maxBuildBytes holds (TooManyValues) or a value too large for the memory is a DecodeError. A
// parse that fails frees what it had built without allocating, so it fails alike when the memory
// is short.
Value parse(std::string_view text);
// Serialises compactly; invalid UTF-8 inside strings is replaced, never thrown on.
std::string dump(const Ordered& value);
std::string dump(const Value& value);

const Value& requireObject(const Value& value, std::string_view context = "");
const Value& requireMember(const Value& object, std::string_view key);
// The member, or none when it is missing or null.
const Value* optionalMember(const Value& object, std::string_view key);

std::string requireString(const Value& object, std::string_view key);
std::optional<std::string> optString(const Value& object, std::string_view key);
std::int64_t requireInt64(const Value& object, std::string_view key);
std::optional<std::int64_t> optInt64(const Value& object, std::string_view key);
bool requireBool(const Value& object, std::string_view key);
std::optional<bool> optBool(const Value& object, std::string_view key);
Date requireDate(const Value& object, std::string_view key);
std::optional<Date> optDate(const Value& object, std::string_view key);
const Value& requireArray(const Value& object, std::string_view key);

// Value-level readers for array elements and top-level values.
std::string asString(const Value& value, std::string_view key);
Date asDate(const Value& value, std::string_view key);

template <WireEnum E> E requireEnum(const Value& object, std::string_view key) {
    const std::string raw = requireString(object, key);
    if (auto value = fromRawValue<E>(raw)) return *value;
    throw DecodeError(std::string(key) + ": unknown value \"" + raw + "\"");
}

template <WireEnum E> std::optional<E> optEnum(const Value& object, std::string_view key) {
    if (!optionalMember(object, key)) return std::nullopt;
    return requireEnum<E>(object, key);
}

// Reads an array member whose elements are decoded by `decode(const Value&)`.
template <class T, class Decode>
std::vector<T> requireList(const Value& object, std::string_view key, Decode decode) {
    const Value& array = requireArray(object, key);
    std::vector<T> out;
    out.reserve(array.size());
    for (const Value& element : array) out.push_back(decode(element));
    return out;
}

// Encodes a list of models, each with its own toJson().
template <class T> Ordered encodeList(const std::vector<T>& items) {
    Ordered list = Ordered::array();
    for (const auto& item : items) list.push_back(item.toJson());
    return list;
}

// Writes an optional member only when it holds a value.
template <class T> void putOptional(Ordered& object, const char* key, const std::optional<T>& value) {
    if (value) object[key] = *value;
}
inline void putDate(Ordered& object, const char* key, Date date) { object[key] = Iso8601::wholeSeconds(date); }
inline void putOptionalDate(Ordered& object, const char* key, const std::optional<Date>& date) {
    if (date) putDate(object, key, *date);
}

} // namespace json
} // namespace varnel

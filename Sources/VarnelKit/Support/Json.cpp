#include "VarnelKit/Support/Json.hpp"

#include <cmath>
#include <limits>
#include <new>

namespace varnel::json {

namespace {

[[noreturn]] void fail(std::string_view key, std::string_view what) {
    throw DecodeError(std::string(key) + ": " + std::string(what));
}

std::int64_t toInt64(const Value& v, std::string_view key) {
    if (v.is_number_integer()) {
        if (v.is_number_unsigned() &&
            v.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            fail(key, "number out of range");
        }
        return v.is_number_unsigned() ? static_cast<std::int64_t>(v.get<std::uint64_t>()) : v.get<std::int64_t>();
    }
    if (v.is_number_float()) {
        // A float that is exactly a whole number in range reads as that integer (5.0 is 5).
        const double d = v.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
            return static_cast<std::int64_t>(d);
        }
        fail(key, "not an integer");
    }
    fail(key, v.is_null() ? "null" : "wrong type");
}

// nlohmann's own DOM builder, stopped at the first container beyond the depth bound and at the
// first value beyond the build bound: returning false ends the parse there, before that value is
// built.
class BoundedDomParser : public nlohmann::detail::json_sax_dom_parser<Value> {
    using Base = nlohmann::detail::json_sax_dom_parser<Value>;

public:
    using Base::Base;

    bool null() { return charge(slotBytes) && Base::null(); }
    bool boolean(bool value) { return charge(slotBytes) && Base::boolean(value); }
    bool number_integer(number_integer_t value) { return charge(slotBytes) && Base::number_integer(value); }
    bool number_unsigned(number_unsigned_t value) {
        return charge(slotBytes) && Base::number_unsigned(value);
    }
    bool number_float(number_float_t value, const string_t& text) {
        return charge(slotBytes) && Base::number_float(value, text);
    }
    bool string(string_t& value) { return charge(slotBytes + stringBytes) && Base::string(value); }
    bool key(string_t& name) { return charge(memberBytes) && Base::key(name); }
    bool start_object(std::size_t length) {
        return enter() && charge(slotBytes + objectBytes) && Base::start_object(length);
    }
    bool start_array(std::size_t length) {
        return enter() && charge(slotBytes + arrayBytes) && Base::start_array(length);
    }
    bool end_object() {
        --depth_;
        return Base::end_object();
    }
    bool end_array() {
        --depth_;
        return Base::end_array();
    }

    bool tooDeep() const noexcept { return tooDeep_; }
    bool tooLarge() const noexcept { return tooLarge_; }

private:
    // What the heap takes for each, in glibc's chunks on a 64-bit machine: a value's place in its
    // array, with the room a growing array keeps spare; a string's own block; an object's map; an
    // array's vector; a member's map node, which holds its key and its value's place (96 bytes in
    // all). Keys and strings too long to be held in place take their text once more, which the
    // text's own size bounds.
    static constexpr std::size_t slotBytes = 32;
    static constexpr std::size_t stringBytes = 48;
    static constexpr std::size_t objectBytes = 64;
    static constexpr std::size_t arrayBytes = 32;
    static constexpr std::size_t memberBytes = 96 - slotBytes;

    bool enter() {
        if (depth_ == maxDepth) {
            tooDeep_ = true;
            return false;
        }
        ++depth_;
        return true;
    }

    bool charge(std::size_t bytes) {
        if (bytes > maxBuildBytes - built_) {
            tooLarge_ = true;
            return false;
        }
        built_ += bytes;
        return true;
    }

    std::size_t depth_ = 0;
    std::size_t built_ = 0;
    bool tooDeep_ = false;
    bool tooLarge_ = false;
};

// Frees a value leaf first, so that nothing is allocated on the way: nlohmann's destructor first
// moves the children of a container onto a vector of its own, which for a wide value half built
// when the memory ran out would fail inside the destructor and end the program. The recursion is
// as deep as the value nests, which the parse bounds.
void dismantle(Value& value) noexcept {
    if (value.is_array()) {
        auto& elements = value.get_ref<Value::array_t&>();
        while (!elements.empty()) {
            dismantle(elements.back());
            elements.pop_back();
        }
    } else if (value.is_object()) {
        auto& members = value.get_ref<Value::object_t&>();
        while (!members.empty()) {
            const auto first = members.begin();
            dismantle(first->second);
            members.erase(first);
        }
    }
}

} // namespace

NestingTooDeep::NestingTooDeep()
    : BeyondBounds("JSON nested too deeply (more than " + std::to_string(maxDepth) + " levels)") {}

TooManyValues::TooManyValues()
    : BeyondBounds("JSON holds too many values (more than " + std::to_string(maxBuildBytes >> 20) +
                   " MiB of them in memory)") {}

Value parse(std::string_view text) {
    Value result;
    try {
        BoundedDomParser builder(result);
        if (Value::sax_parse(text.begin(), text.end(), &builder)) return result;
        dismantle(result);
        if (builder.tooDeep()) throw NestingTooDeep();
        if (builder.tooLarge()) throw TooManyValues();
        // Syntax errors throw from the builder; nothing else stops it.
        throw DecodeError("not valid JSON");
    } catch (const nlohmann::json::exception& e) {
        dismantle(result);
        throw DecodeError(std::string("not valid JSON: ") + e.what());
    } catch (const std::bad_alloc&) {
        dismantle(result);
        throw DecodeError("too large to read in the memory available");
    }
}

std::string dump(const Ordered& value) { return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

std::string dump(const Value& value) { return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

const Value& requireObject(const Value& value, std::string_view context) {
    if (!value.is_object()) {
        throw DecodeError(context.empty() ? std::string("expected an object")
                                          : std::string(context) + ": expected an object");
    }
    return value;
}

const Value& requireMember(const Value& object, std::string_view key) {
    requireObject(object);
    const auto it = object.find(key);
    if (it == object.end()) fail(key, "missing");
    if (it->is_null()) fail(key, "null");
    return *it;
}

const Value* optionalMember(const Value& object, std::string_view key) {
    requireObject(object);
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

std::string asString(const Value& value, std::string_view key) {
    if (!value.is_string()) fail(key, value.is_null() ? "null" : "wrong type");
    return value.get<std::string>();
}

Date asDate(const Value& value, std::string_view key) {
    const std::string text = asString(value, key);
    if (auto date = Iso8601::parse(text)) return *date;
    throw DecodeError(std::string(key) + ": Unrecognised date: " + text);
}

std::string requireString(const Value& object, std::string_view key) {
    return asString(requireMember(object, key), key);
}

std::optional<std::string> optString(const Value& object, std::string_view key) {
    const Value* v = optionalMember(object, key);
    if (!v) return std::nullopt;
    return asString(*v, key);
}

std::int64_t requireInt64(const Value& object, std::string_view key) { return toInt64(requireMember(object, key), key); }

std::optional<std::int64_t> optInt64(const Value& object, std::string_view key) {
    const Value* v = optionalMember(object, key);
    if (!v) return std::nullopt;
    return toInt64(*v, key);
}

bool requireBool(const Value& object, std::string_view key) {
    const Value& v = requireMember(object, key);
    if (!v.is_boolean()) fail(key, "wrong type");
    return v.get<bool>();
}

std::optional<bool> optBool(const Value& object, std::string_view key) {
    const Value* v = optionalMember(object, key);
    if (!v) return std::nullopt;
    if (!v->is_boolean()) fail(key, "wrong type");
    return v->get<bool>();
}

Date requireDate(const Value& object, std::string_view key) { return asDate(requireMember(object, key), key); }

std::optional<Date> optDate(const Value& object, std::string_view key) {
    const Value* v = optionalMember(object, key);
    if (!v) return std::nullopt;
    return asDate(*v, key);
}

const Value& requireArray(const Value& object, std::string_view key) {
    const Value& v = requireMember(object, key);
    if (!v.is_array()) fail(key, "wrong type");
    return v;
}

} // namespace varnel::json

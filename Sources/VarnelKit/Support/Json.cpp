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

// nlohmann's own DOM builder, stopped at the first container beyond the bound: returning false
// ends the parse there, before the container is built.
class BoundedDomParser : public nlohmann::detail::json_sax_dom_parser<Value> {
    using Base = nlohmann::detail::json_sax_dom_parser<Value>;

public:
    using Base::Base;

    bool start_object(std::size_t length) { return enter() && Base::start_object(length); }
    bool start_array(std::size_t length) { return enter() && Base::start_array(length); }
    bool end_object() {
        --depth_;
        return Base::end_object();
    }
    bool end_array() {
        --depth_;
        return Base::end_array();
    }

    bool tooDeep() const noexcept { return tooDeep_; }

private:
    bool enter() {
        if (depth_ == maxDepth) {
            tooDeep_ = true;
            return false;
        }
        ++depth_;
        return true;
    }

    std::size_t depth_ = 0;
    bool tooDeep_ = false;
};

} // namespace

NestingTooDeep::NestingTooDeep()
    : DecodeError("JSON nested too deeply (more than " + std::to_string(maxDepth) + " levels)") {}

Value parse(std::string_view text) {
    try {
        Value result;
        BoundedDomParser builder(result);
        if (!Value::sax_parse(text.begin(), text.end(), &builder)) {
            if (builder.tooDeep()) throw NestingTooDeep();
            // Syntax errors throw from the builder; nothing else stops it.
            throw DecodeError("not valid JSON");
        }
        return result;
    } catch (const nlohmann::json::exception& e) {
        throw DecodeError(std::string("not valid JSON: ") + e.what());
    } catch (const std::bad_alloc&) {
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

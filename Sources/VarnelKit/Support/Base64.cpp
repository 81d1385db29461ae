#include "VarnelKit/Support/Base64.hpp"

#include <array>

namespace varnel::Base64 {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> makeTable() {
    std::array<int, 256> table{};
    for (auto& v : table) v = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}

constexpr auto table = makeTable();

template <class Range> std::string encodeRange(const Range& in) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(in[k])); };
    for (; i + 2 < in.size(); i += 3) {
        const unsigned n = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
        out.push_back(alphabet[(n >> 18) & 63]);
        out.push_back(alphabet[(n >> 12) & 63]);
        out.push_back(alphabet[(n >> 6) & 63]);
        out.push_back(alphabet[n & 63]);
    }
    const std::size_t rest = in.size() - i;
    if (rest == 1) {
        const unsigned n = at(i) << 16;
        out.push_back(alphabet[(n >> 18) & 63]);
        out.push_back(alphabet[(n >> 12) & 63]);
        out += "==";
    } else if (rest == 2) {
        const unsigned n = (at(i) << 16) | (at(i + 1) << 8);
        out.push_back(alphabet[(n >> 18) & 63]);
        out.push_back(alphabet[(n >> 12) & 63]);
        out.push_back(alphabet[(n >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

} // namespace

std::string encode(const Bytes& bytes) { return encodeRange(bytes); }

std::string encode(std::string_view bytes) { return encodeRange(bytes); }

std::optional<Bytes> decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=') {
                // Padding only in the last quantum, only in its last two places, and only trailing.
                if (!last || k < 2) return std::nullopt;
                ++padding;
                v[k] = 0;
                continue;
            }
            if (padding > 0) return std::nullopt;
            v[k] = table[static_cast<unsigned char>(c)];
            if (v[k] < 0) return std::nullopt;
        }
        const unsigned n = (static_cast<unsigned>(v[0]) << 18) | (static_cast<unsigned>(v[1]) << 12) |
                           (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
        out.push_back(static_cast<std::uint8_t>(n >> 16));
        if (padding < 2) out.push_back(static_cast<std::uint8_t>((n >> 8) & 0xFF));
        if (padding < 1) out.push_back(static_cast<std::uint8_t>(n & 0xFF));
    }
    return out;
}

} // namespace varnel::Base64

// Base64 both ways: what decodes re-encodes to text of the same length that decodes to the same
// bytes, and any bytes encode to text that decodes back to them.
#include "FuzzCheck.hpp"
#include "VarnelKit/Support/Base64.hpp"

using namespace varnel;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::textOf(data, size);
    if (const auto decoded = Base64::decode(text)) {
        const std::string encoded = Base64::encode(*decoded);
        require(encoded.size() == text.size(), "re-encoded text keeps the length");
        require(Base64::decode(encoded) == decoded, "re-encoded text decodes to the same bytes");
    }
    const std::string encoded = Base64::encode(text);
    require(encoded.size() == (size + 2) / 3 * 4, "encoded length");
    const auto back = Base64::decode(encoded);
    require(back.has_value() && textOf(*back) == text, "encoded bytes decode back");
    return 0;
}

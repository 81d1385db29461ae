#include "VarnelKit/Support/Url.hpp"

#include <boost/url/parse.hpp>
// Boost.URL is used without its compiled library: this is the one translation unit that holds its
// definitions. Nothing else may include src.hpp.
#include <boost/url/src.hpp>

namespace varnel {

std::optional<Url> parseAbsoluteUrl(std::string_view text) {
    auto parsed = boost::urls::parse_uri(text);
    if (!parsed) return std::nullopt;
    return Url(*parsed);
}

std::optional<Url> parseUrlReference(std::string_view text) {
    if (text.empty()) return std::nullopt;
    auto parsed = boost::urls::parse_uri_reference(text);
    if (!parsed) return std::nullopt;
    return Url(*parsed);
}

} // namespace varnel

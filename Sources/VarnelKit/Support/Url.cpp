#include "VarnelKit/Support/Url.hpp"

#include <boost/url/parse.hpp>
// Boost.URL is used without its compiled library: this is the one translation unit that holds its
// definitions. Nothing else may include src.hpp.
#include <boost/url/src.hpp>

namespace varnel {

namespace {

// The parser ends a port at its first non-digit and takes the rest for the path, so "https://h:12ab"
// would pass as port 12 with the path "ab". After an authority a path is empty or begins with "/";
// anything else means the text was no URL.
bool pathFitsAuthority(const boost::urls::url_view& url) {
    if (!url.has_authority()) return true;
    const auto path = url.encoded_path();
    return path.empty() || path.front() == '/';
}

} // namespace

std::optional<Url> parseAbsoluteUrl(std::string_view text) {
    auto parsed = boost::urls::parse_uri(text);
    if (!parsed || !pathFitsAuthority(*parsed)) return std::nullopt;
    return Url(*parsed);
}

std::optional<Url> parseUrlReference(std::string_view text) {
    if (text.empty()) return std::nullopt;
    auto parsed = boost::urls::parse_uri_reference(text);
    if (!parsed || !pathFitsAuthority(*parsed)) return std::nullopt;
    return Url(*parsed);
}

} // namespace varnel

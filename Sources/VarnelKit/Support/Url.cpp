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
    if (!url.has_authority())
        return true;
    const auto path = url.encoded_path();
    return path.empty() || path.front() == '/';
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The length of "scheme:" at the start of the text, or 0 when it does not start with one.
std::size_t schemePrefixLength(std::string_view text) {
    if (text.empty() || !isAsciiLetter(text.front()))
        return 0;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ':')
            return i + 1;
        if (!isAsciiLetter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.')
            return 0;
    }
    return 0;
}

// A character that may begin a path segment, and "%" (whose escape the parser checks itself).
bool mayBeginSegment(char c) {
    static constexpr std::string_view others = "-._~!$&'()*+,;=:@%";
    return isAsciiLetter(c) || (c >= '0' && c <= '9') || others.find(c) != std::string_view::npos;
}

// Boost.URL 1.81 counts one path segment in "scheme:" followed by exactly one character that can
// neither begin a segment nor be "/" ("ipp:?", "https:#", "ipp:]"), and an assertion on that count
// ends the process in a debug build. Without the assertion the count is repaired, but outside input
// must not depend on that, so such text never reaches the parser: its path is empty, and its one
// character can only open an empty query or fragment; any other character is no URL.
enum class ShortForm { none, url, invalid };

ShortForm readShortForm(std::string_view text, std::optional<Url>& url) {
    const std::size_t prefix = schemePrefixLength(text);
    if (prefix == 0 || text.size() != prefix + 1)
        return ShortForm::none;
    const char last = text.back();
    if (last == '/' || mayBeginSegment(last))
        return ShortForm::none;
    if (last != '?' && last != '#')
        return ShortForm::invalid;
    auto schemeOnly = boost::urls::parse_uri(text.substr(0, prefix));
    if (!schemeOnly)
        return ShortForm::invalid;
    url.emplace(*schemeOnly);
    if (last == '?')
        url->set_encoded_query("");
    else
        url->set_encoded_fragment("");
    return ShortForm::url;
}

// Either grammar of the library, behind the screen above and the check on the path.
template <class Parse> std::optional<Url> parseScreened(std::string_view text, Parse parse) {
    std::optional<Url> shortForm;
    switch (readShortForm(text, shortForm)) {
    case ShortForm::url:
        return shortForm;
    case ShortForm::invalid:
        return std::nullopt;
    case ShortForm::none:
        break;
    }
    auto parsed = parse(text);
    if (!parsed || !pathFitsAuthority(*parsed))
        return std::nullopt;
    return Url(*parsed);
}

} // namespace

std::optional<Url> parseAbsoluteUrl(std::string_view text) {
    return parseScreened(text, [](std::string_view t) { return boost::urls::parse_uri(t); });
}

std::optional<Url> parseUrlReference(std::string_view text) {
    if (text.empty())
        return std::nullopt;
    return parseScreened(text, [](std::string_view t) { return boost::urls::parse_uri_reference(t); });
}

bool isWebLink(const Url& url) {
    const auto scheme = url.scheme_id();
    return (scheme == boost::urls::scheme::https || scheme == boost::urls::scheme::http) &&
           url.has_authority() && !url.encoded_host().empty();
}

} // namespace varnel

#pragma once

#include <boost/url/url.hpp>

#include <optional>
#include <string_view>

namespace varnel {

// Server addresses, download links and the like.
using Url = boost::urls::url;

// Text from outside (settings, replies, CUPS) is read only through these two, never with the
// library's parse functions directly: they keep clear of inputs that trip the library itself.

// An absolute URL (with a scheme); none for anything else, text with blanks included.
std::optional<Url> parseAbsoluteUrl(std::string_view text);
// Any non-empty URL, relative ones included; none for text that is no URL at all.
std::optional<Url> parseUrlReference(std::string_view text);

} // namespace varnel

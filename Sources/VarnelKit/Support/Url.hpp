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

// An http or https link with a host: what may be handed to the desktop to open in a browser. A
// link from a server with another scheme could start any handler the desktop knows (a local file,
// a custom protocol), and a relative one has nothing to be opened from.
bool isWebLink(const Url& url);

} // namespace varnel

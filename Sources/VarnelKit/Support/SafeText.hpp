#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnel::SafeText {

// At most `limit` characters (grapheme clusters) of the text, as valid UTF-8; nothing else is
// changed. What the diagnostics send is cut so.
std::string firstCharacters(std::string_view text, std::size_t limit);

// Text from outside (a server's reply, a printer's answer, a stored setting) made fit for one line
// of the log or of a terminal: valid UTF-8, every control character but tab (C0, DEL, C1: line
// breaks, ESC, BEL…) shown as U+FFFD, and at most `limit` characters in at most 4 × limit bytes.
// Text that had to be cut ends in "…" within those bounds. Only the first 4 × limit bytes are
// read, so a reply of many megabytes costs no more than a short one.
std::string line(std::string_view text, std::size_t limit);

// The same for every piece of the text between line feeds, which are kept: for output that is
// meant to have several lines.
std::string lines(std::string_view text, std::size_t limitPerLine);

} // namespace varnel::SafeText

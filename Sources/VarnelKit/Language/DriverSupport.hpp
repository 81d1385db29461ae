#pragma once

#include "VarnelKit/Support/Bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What the drivers share: the refusals, the rules of the text languages and the bound on output.
namespace varnel::DriverSupport {

// Repeating a payload for its copies must not make the agent allocate without limit: the copy
// count comes from the server.
inline constexpr std::size_t maximumOutputSize = std::size_t{64} * 1024 * 1024;

// Throws JobError(payloadInvalid, message).
[[noreturn]] void refuse(std::string message);

// Refuses copies below 1.
void requireCopies(std::int64_t copies);

// The payload of a text language (ZPL, TSPL2) decoded as UTF-8 and trimmed of Unicode whitespace;
// refuses ill-formed UTF-8 and a payload with nothing else. `language` names it in the refusal.
std::string trimmedText(const Bytes& data, std::string_view language);

// The unit repeated `times` times back to back; refuses the output when it would be larger than
// maximumOutputSize, before anything is allocated.
Bytes repeated(std::string_view unit, std::int64_t times);

// The text without line-break characters (LF, VT, FF, CR, NEL, LS, PS) and without any of the
// ASCII characters in `dropped`. Works on scalars, so a dropped character cannot hide in a
// cluster behind a combining mark.
std::string withoutLineBreaksOr(std::string_view text, std::string_view dropped);

} // namespace varnel::DriverSupport

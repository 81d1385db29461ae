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

// The sentences of the refusals, kept together so that a wording is one edit.
namespace Refusal {
inline constexpr std::string_view copiesBelowOne = "copies must be at least 1";
inline constexpr std::string_view notUtf8 = " payload is not valid UTF-8";  // after the language
inline constexpr std::string_view empty = " payload is empty";              // after the language
inline constexpr std::string_view noZplCommands =
    "No ZPL commands found \u2014 expected a ^XA\u2026^XZ label or a ~ control command";
inline constexpr std::string_view unterminatedZplLabel =
    "A ^XA label was never closed with ^XZ, so the printer would wait forever";
inline constexpr std::string_view textOutsideZplLabel = "Text found outside any ^XA\u2026^XZ label \u2014 is this really ZPL?";
inline constexpr std::string_view noTsplPrint = "TSPL2 payload has no PRINT command, so nothing would be printed";
inline constexpr std::string_view pdfEmpty = "PDF payload is empty";
inline constexpr std::string_view notPdf = "Payload is not a PDF (expected it to start with %PDF-)";
std::string outputTooLarge(std::uint64_t copies);
} // namespace Refusal

// Throws JobError(payloadInvalid, message).
[[noreturn]] void refuse(std::string message);
[[noreturn]] inline void refuse(std::string_view message) { refuse(std::string(message)); }

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

#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Names and file steps that an update's download and its install share.
namespace varnel::UpdateFiles {

// A random (version 4) UUID in upper-case text, for names no one else picks.
std::string makeUuid();
// Whether the text is such a UUID, as makeUuid() writes it.
bool isUuid(std::string_view text);

// Removes a file or tree and ignores a failure: litter in a temporary folder at worst, and the
// caller's outcome stands.
void removeQuietly(const std::filesystem::path& path);

// The failure that errno names, for `what` at `path`.
std::filesystem::filesystem_error lastError(const std::string& what, const std::filesystem::path& path);

} // namespace varnel::UpdateFiles

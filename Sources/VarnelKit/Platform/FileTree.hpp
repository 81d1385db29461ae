#pragma once

#include <filesystem>

// Whole folder trees: what installing an update does to the application folder. Every function
// blocks on the disk and belongs on the blocking pool. Failures are std::filesystem's
// filesystem_error, with the system's error code.
namespace varnel::FileTree {

// Removes a file, link or folder with everything below it; a link is removed, never followed.
// Folders the owner may not write to (update images unpack read-only) get write permission back
// first, or their contents could not go. Nothing at the path is not an error.
void removeAll(const std::filesystem::path& path);

// Copies a folder tree to `to`, which must not exist: files with their permission bits, symbolic
// links as links (their targets as written), folders with their permission bits once filled.
// Anything other than files, folders and links (devices, pipes, sockets) fails the copy.
void copy(const std::filesystem::path& from, const std::filesystem::path& to);

// Swaps two existing entries in one atomic step. Both must be on one file system (EXDEV
// otherwise); file systems that cannot exchange fail with EINVAL.
void exchange(const std::filesystem::path& first, const std::filesystem::path& second);

} // namespace varnel::FileTree

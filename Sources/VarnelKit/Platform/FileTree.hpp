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
// otherwise); file systems that cannot exchange fail with EINVAL, ENOSYS or ENOTSUP.
void exchange(const std::filesystem::path& first, const std::filesystem::path& second);

// Puts `replacement` where the existing `target` is and gives the path the old entry went to, for
// the caller to remove. One exchange where the file system can do it (the old entry then sits at
// `replacement`). Where it refuses the exchange, as some network file systems do, the old entry
// is renamed to `aside` (which must not exist), the replacement moved in, and the old entry put
// back should that move fail; a reader may then find nothing at `target` for a moment. Both must
// be on one file system (EXDEV otherwise).
std::filesystem::path replace(const std::filesystem::path& replacement, const std::filesystem::path& target,
                              const std::filesystem::path& aside);

// The system call behind exchange(): 0, or -1 with errno set, as renameat2 with RENAME_EXCHANGE.
// Replaceable so that tests can play a file system that refuses it; gives the call it replaces.
// Not to be swapped while an exchange runs.
using ExchangeCall = int (*)(const char* first, const char* second);
ExchangeCall setExchangeCall(ExchangeCall call);

} // namespace varnel::FileTree

#pragma once

#include <filesystem>
#include <functional>

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
// Anything other than files, folders and links (devices, pipes, sockets) fails the copy. A full
// disk fails with the system's own reason (ENOSPC), not a generic input/output error.
void copy(const std::filesystem::path& from, const std::filesystem::path& to);

// Writes every file and folder of a tree through to the disk (fsync), so that a power cut after
// a later rename finds the tree's contents, not empty files. Links are recorded by their folder.
void flush(const std::filesystem::path& tree);
// Writes one folder's entries (the names in it, such as a rename's outcome) through to the disk.
void flushFolder(const std::filesystem::path& folder);

// Swaps two existing entries in one atomic step. Both must be on one file system (EXDEV
// otherwise); file systems that cannot exchange fail with EINVAL, ENOSYS or ENOTSUP.
void exchange(const std::filesystem::path& first, const std::filesystem::path& second);

// Thrown by replace() when the replacement could not be moved in and the old entry, moved aside,
// could not be put back either: path1() is the target, now empty, path2() where the old entry is.
// The code is the failure of the move in.
class LeftAside : public std::filesystem::filesystem_error {
public:
    using std::filesystem::filesystem_error::filesystem_error;
};

// Puts `replacement` where the existing `target` is and gives the path the old entry went to, for
// the caller to remove. One exchange where the file system can do it (the old entry then sits at
// `replacement`). Where it refuses the exchange, as some network file systems do, the old entry
// is renamed to `aside` (which must not exist), the replacement moved in, and the old entry put
// back should that move fail (LeftAside when that fails too); a reader may then find nothing at
// `target` for a moment. `betweenMoves`, when given, runs in that moment, and an error it throws
// counts as the move in failing. Both must be on one file system (EXDEV otherwise).
std::filesystem::path replace(const std::filesystem::path& replacement, const std::filesystem::path& target,
                              const std::filesystem::path& aside,
                              const std::function<void()>& betweenMoves = nullptr);

// The system call behind exchange(): 0, or -1 with errno set, as renameat2 with RENAME_EXCHANGE.
// Replaceable so that tests can play a file system that refuses it; gives the call it replaces.
// Not to be swapped while an exchange runs.
using ExchangeCall = int (*)(const char* first, const char* second);
ExchangeCall setExchangeCall(ExchangeCall call);

// The system call behind flush() and flushFolder(): fsync. Replaceable so that tests can see what
// reaches the disk and when; gives the call it replaces. Not to be swapped while a flush runs.
using FlushCall = int (*)(int descriptor);
FlushCall setFlushCall(FlushCall call);

} // namespace varnel::FileTree

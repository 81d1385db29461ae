#pragma once

#include "VarnelKit/Support/Descriptor.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

// Folders and files reached through descriptors, one name at a time, so that what is checked is
// what is used: a name swapped for a link between a look and an open leads nowhere, and nothing is
// made in a folder that belongs to another user (root given a user's HOME by sudo).
namespace varnel::OwnedFolder {

// The folder `name` in the folder `at`, never through a link: its descriptor, or -1 with errno set
// (ELOOP or ENOTDIR where `name` is a link or no folder).
int openIn(int at, const std::string& name);

// The same, made first with mode 0700 (whatever the umask) where it is missing.
int makeIn(int at, const std::string& name);

// The file `name` in the folder `at` for reading, never through a link and without waiting for a
// writer (a pipe): its descriptor, or -1 with errno set (ELOOP where it is a link).
int openFileIn(int at, const std::string& name);

// Removes the file `name` from the folder `at`: 0, also when there is none, or the errno of the
// removal.
int removeIn(int at, const std::string& name) noexcept;

// What opening a folder to write in came to.
struct Opened {
    Descriptor folder;
    // 0, or the errno of the step that failed.
    int status = 0;
    // Where that step found a folder of another user (status EACCES): that folder and its owner.
    std::filesystem::path foreign;
    uid_t foreignOwner = 0;
};

// Opens `folder` to write in it. Only a folder that this process's user owns is written in: the
// folder itself when it exists (a link there only to a folder of the link's owner), else the
// nearest of its parents that exists, in which the missing ones are made, each 0700 and opened by
// descriptor as it is made.
Opened openForWriting(const std::filesystem::path& folder);

// The owner of what the descriptor names; none when it cannot be looked at.
std::optional<uid_t> ownerOf(int descriptor);

// Reads what the descriptor names from `offset` to its end, at most `limit` bytes; none when there
// is more than that, or a read fails.
std::optional<std::string> readAll(int descriptor, std::size_t limit, off_t offset = 0);

} // namespace varnel::OwnedFolder

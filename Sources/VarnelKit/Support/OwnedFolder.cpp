#include "VarnelKit/Support/OwnedFolder.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnel::OwnedFolder {

namespace {

namespace fs = std::filesystem;

constexpr mode_t privateMode = 0700;

Opened failed(int status) {
    Opened result;
    result.status = status;
    return result;
}

Opened foreign(const fs::path& folder, uid_t owner) {
    Opened result;
    result.status = EACCES;
    result.foreign = folder;
    result.foreignOwner = owner;
    return result;
}

} // namespace

int openIn(int at, const std::string& name) {
    return ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int makeIn(int at, const std::string& name) {
    const int found = openIn(at, name);
    if (found >= 0 || errno != ENOENT)
        return found;
    if (::mkdirat(at, name.c_str(), privateMode) != 0 && errno != EEXIST)
        return -1;
    const int made = openIn(at, name);
    // mkdir's mode passes through the umask.
    struct stat info {};
    if (made >= 0 && ::fstat(made, &info) == 0 && info.st_uid == ::geteuid() &&
        (info.st_mode & 07777) != privateMode)
        ::fchmod(made, privateMode);
    return made;
}

int openFileIn(int at, const std::string& name) {
    return ::openat(at, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

int removeIn(int at, const std::string& name) noexcept {
    if (::unlinkat(at, name.c_str(), 0) == 0 || errno == ENOENT)
        return 0;
    const int status = errno;
    // A read-only file system refuses even what is not there.
    struct stat info {};
    if (::fstatat(at, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
        return 0;
    return status;
}

Opened openForWriting(const fs::path& folder) {
    const uid_t user = ::geteuid();
    Descriptor opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.isOpen()) {
        struct stat target {};
        struct stat entry {};
        if (::fstat(opened.get(), &target) != 0 || ::lstat(folder.c_str(), &entry) != 0)
            return failed(errno);
        if (target.st_uid != user)
            return foreign(folder, target.st_uid);
        // A link that someone else made could lead this user's writes anywhere it likes.
        if (S_ISLNK(entry.st_mode) && entry.st_uid != target.st_uid)
            return foreign(folder, entry.st_uid);
        Opened result;
        result.folder.reset(opened.release());
        return result;
    }
    if (errno != ENOENT || !folder.has_relative_path() || folder.parent_path() == folder)
        return failed(errno);
    Opened parent = openForWriting(folder.parent_path());
    if (!parent.folder.isOpen())
        return parent;
    Descriptor made(makeIn(parent.folder.get(), folder.filename().string()));
    if (!made.isOpen())
        return failed(errno);
    struct stat info {};
    if (::fstat(made.get(), &info) != 0)
        return failed(errno);
    // Made by another user between this one's mkdir and its open.
    if (info.st_uid != user)
        return foreign(folder, info.st_uid);
    Opened result;
    result.folder.reset(made.release());
    return result;
}

std::optional<uid_t> ownerOf(int descriptor) {
    struct stat info {};
    if (::fstat(descriptor, &info) != 0)
        return std::nullopt;
    return info.st_uid;
}

std::optional<std::string> readAll(int descriptor, std::size_t limit, off_t offset) {
    struct stat info {};
    if (::fstat(descriptor, &info) != 0)
        return std::nullopt;
    // A size that says too much is believed at once: a sparse file takes no disk for its gigabytes.
    if (S_ISREG(info.st_mode) && info.st_size > offset &&
        static_cast<std::uintmax_t>(info.st_size - offset) > limit)
        return std::nullopt;
    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::pread(descriptor, buffer, sizeof buffer, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return text;
        if (text.size() + static_cast<std::size_t>(got) > limit)
            return std::nullopt;
        text.append(buffer, static_cast<std::size_t>(got));
        offset += got;
    }
}

} // namespace varnel::OwnedFolder

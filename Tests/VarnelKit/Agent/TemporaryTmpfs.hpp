#pragma once

#include "TemporaryDirectory.hpp"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace varnel::testing {

// A tmpfs of the given size ("256k") mounted on a fresh folder for the life of the object: a
// second file system, or a small one that fills up. Mounting needs root; mounted() tells whether
// it worked, so that a test can skip itself otherwise.
class TemporaryTmpfs {
public:
    explicit TemporaryTmpfs(const std::string& size) {
        const std::string options = "size=" + size + ",mode=0700";
        mounted_ =
            ::mount("tmpfs", folder_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
    }
    ~TemporaryTmpfs() {
        if (mounted_ && ::umount(folder_.path().c_str()) != 0)
            ::umount2(folder_.path().c_str(), MNT_DETACH);
    }
    TemporaryTmpfs(const TemporaryTmpfs&) = delete;
    TemporaryTmpfs& operator=(const TemporaryTmpfs&) = delete;

    bool mounted() const noexcept { return mounted_; }
    const std::filesystem::path& path() const noexcept { return folder_.path(); }

private:
    // Declared first, so that the file system is unmounted before the folder goes.
    TemporaryDirectory folder_;
    bool mounted_ = false;
};

// Fills the file system that holds `folder`, then frees `pages` pages of it.
inline void fillLeaving(const std::filesystem::path& folder, long pages) {
    const long page = ::sysconf(_SC_PAGESIZE);
    const int fd = ::open((folder / "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string chunk(static_cast<std::size_t>(page), 'x');
    off_t size = 0;
    while (::write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size()))
        size += page;
    ASSERT_EQ(::ftruncate(fd, size - pages * page), 0);
    ::close(fd);
    struct statvfs disk {};
    ASSERT_EQ(::statvfs(folder.c_str(), &disk), 0);
    ASSERT_EQ(static_cast<long>(disk.f_bavail * disk.f_frsize), pages * page) << "free space to play with";
}

} // namespace varnel::testing

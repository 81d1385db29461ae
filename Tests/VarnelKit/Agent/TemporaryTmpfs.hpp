#pragma once

#include "TemporaryDirectory.hpp"

#include <filesystem>
#include <string>
#include <sys/mount.h>

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

} // namespace varnel::testing

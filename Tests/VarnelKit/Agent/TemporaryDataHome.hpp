#pragma once

#include "TemporaryDirectory.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <filesystem>
#include <sys/stat.h>

namespace varnel::testing {

// Points the per-user data folder at a fresh temporary folder for the life of the object.
class TemporaryDataHome {
public:
    TemporaryDataHome() : environment_("XDG_DATA_HOME", directory_.path().string()) {}
    TemporaryDataHome(const TemporaryDataHome&) = delete;
    TemporaryDataHome& operator=(const TemporaryDataHome&) = delete;

    const std::filesystem::path& root() const { return directory_.path(); }
    std::filesystem::path varnel() const { return root() / "Varnel"; }

private:
    // Declared first so the variable is put back before the folder goes.
    TemporaryDirectory directory_;
    ScopedEnvironment environment_;
};

// The permission bits of a file or folder; 0 when there is none.
inline mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

} // namespace varnel::testing

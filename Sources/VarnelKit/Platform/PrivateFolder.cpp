#include "VarnelKit/Platform/PrivateFolder.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace varnel::PrivateFolder {

namespace fs = std::filesystem;

bool isPrivate(const fs::path& folder) {
    struct stat info {};
    return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid() &&
           (info.st_mode & 077) == 0;
}

std::optional<fs::path> runtimeFolder() {
    const char* value = std::getenv("XDG_RUNTIME_DIR");
    if (!value || value[0] != '/' || !isPrivate(value))
        return std::nullopt;
    return fs::path(value);
}

fs::path sharedTemporaryFolder() {
    if (const char* value = std::getenv("TMPDIR"); value && value[0] == '/')
        return value;
    return "/tmp";
}

fs::path makeFresh(std::string_view prefix) {
    const fs::path base = runtimeFolder().value_or(sharedTemporaryFolder());
    std::string pattern = (base / (std::string(prefix) + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        throw fs::filesystem_error("cannot create the temporary folder", pattern,
                                   std::error_code(errno, std::generic_category()));
    }
    return pattern;
}

namespace {

constexpr mode_t privateMode = 0700;

int makeFolder(const fs::path& folder) {
    if (::mkdir(folder.c_str(), privateMode) == 0 || errno == EEXIST)
        return 0;
    if (errno != ENOENT || !folder.has_relative_path() || folder.parent_path() == folder)
        return errno;
    if (const int status = makeFolder(folder.parent_path()); status != 0)
        return status;
    return ::mkdir(folder.c_str(), privateMode) == 0 || errno == EEXIST ? 0 : errno;
}

} // namespace

int ensure(const fs::path& folder, Links links) {
    if (const int status = makeFolder(folder); status != 0)
        return status;
    struct stat info {};
    const int found = links == Links::follow ? ::stat(folder.c_str(), &info) : ::lstat(folder.c_str(), &info);
    if (found != 0)
        return errno;
    if (!S_ISDIR(info.st_mode))
        return ENOTDIR;
    // mkdir's mode passes through the umask, and an older folder may have been made wider.
    if ((info.st_mode & 07777) != privateMode && ::chmod(folder.c_str(), privateMode) != 0)
        return errno;
    return 0;
}

} // namespace varnel::PrivateFolder

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

} // namespace varnel::PrivateFolder

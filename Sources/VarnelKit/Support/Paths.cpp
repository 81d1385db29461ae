#include "VarnelKit/Support/Paths.hpp"

#include "VarnelKit/Support/Error.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace varnel::Paths {

// Only absolute folders count: a relative one would move with the working directory.
std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
        result->pw_dir && result->pw_dir[0] == '/') {
        return result->pw_dir;
    }
    return {};
}

std::filesystem::path applicationSupport() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data && data[0] == '/') {
        return std::filesystem::path(data) / "Varnel";
    }
    const auto home = homeDirectory();
    if (home.empty()) {
        throw Error("No home folder is set for this user, so Varnel has nowhere to keep its files.");
    }
    return home / ".local" / "share" / "Varnel";
}

std::filesystem::path logsDirectory() { return applicationSupport() / "Logs"; }

std::filesystem::path settingsFile() { return applicationSupport() / "settings.json"; }

std::filesystem::path keychainDirectory() { return applicationSupport() / "Keychain"; }

std::filesystem::path updatesDirectory() { return applicationSupport() / "updates"; }

} // namespace varnel::Paths

#include "VarnelKit/Platform/Keychain.hpp"

#include "VarnelKit/Platform/PrivateFolder.hpp"
#include "VarnelKit/Support/AtomicFile.hpp"
#include "VarnelKit/Support/Paths.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varnel::Keychain {

namespace {

constexpr mode_t itemMode = 0600;

// Letters, digits, "_", "-" and "." (not leading, so never "." or "..") stay; every other byte
// becomes %XX. An empty name becomes "%", which no escaped name can be.
std::string escapeComponent(std::string_view name) {
    if (name.empty()) return "%";
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                           c == '-' || (c == '.' && i > 0);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

int ensureFolders(const std::filesystem::path& itemFolder) {
    using PrivateFolder::Links;
    if (const int status = PrivateFolder::ensure(Paths::applicationSupport(), Links::follow); status != 0)
        return status;
    if (const int status = PrivateFolder::ensure(Paths::keychainDirectory(), Links::refuse); status != 0)
        return status;
    return PrivateFolder::ensure(itemFolder, Links::refuse);
}

} // namespace

std::filesystem::path itemPath(std::string_view service, std::string_view account) {
    return Paths::keychainDirectory() / escapeComponent(service) / escapeComponent(account);
}

int deleteItem(std::string_view service, std::string_view account) {
    if (::unlink(itemPath(service, account).c_str()) != 0 && errno != ENOENT) return errno;
    return 0;
}

int addItem(std::string_view service, std::string_view account, std::string_view secret) {
    const auto path = itemPath(service, account);
    if (const int status = ensureFolders(path.parent_path()); status != 0) return status;
    return AtomicFile::write(path, secret, itemMode);
}

std::optional<std::string> copyItem(std::string_view service, std::string_view account) {
    const int fd = ::open(itemPath(service, account).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string data;
    char buffer[4096];
    bool failed = false;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (failed) return std::nullopt;
    return data;
}

std::string errorMessage(int status) {
    char buffer[256];
    // The GNU strerror_r gives a pointer that may or may not be `buffer`.
    const char* text = ::strerror_r(status, buffer, sizeof buffer);
    if (!text || std::strncmp(text, "Unknown error", 13) == 0) return {};
    return text;
}

} // namespace varnel::Keychain

#include "VarnelKit/Platform/Keychain.hpp"

#include "VarnelKit/Support/Paths.hpp"

#include <cstring>

namespace varnel::Keychain {

namespace {

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

} // namespace

std::filesystem::path relativeItemPath(std::string_view service, std::string_view account) {
    return std::filesystem::path("Keychain") / escapeComponent(service) / escapeComponent(account);
}

std::filesystem::path itemPath(std::string_view service, std::string_view account) {
    return Paths::applicationSupport() / relativeItemPath(service, account);
}

std::string errorMessage(int status) {
    char buffer[256];
    // The GNU strerror_r gives a pointer that may or may not be `buffer`.
    const char* text = ::strerror_r(status, buffer, sizeof buffer);
    if (!text || std::strncmp(text, "Unknown error", 13) == 0) return {};
    return text;
}

} // namespace varnel::Keychain

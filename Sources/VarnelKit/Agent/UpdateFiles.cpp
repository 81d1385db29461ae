#include "VarnelKit/Agent/UpdateFiles.hpp"

#include "VarnelKit/Platform/FileTree.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <random>
#include <system_error>

namespace varnel::UpdateFiles {

namespace fs = std::filesystem;

std::string makeUuid() {
    std::random_device source;
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        const std::uint32_t word = source();
        for (std::size_t j = 0; j < 4; ++j)
            bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

bool isUuid(std::string_view text) {
    if (text.size() != 36)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

void removeQuietly(const fs::path& path) {
    try {
        FileTree::removeAll(path);
    } catch (const std::exception&) {
        // Litter in a temporary folder at worst; the caller's outcome stands.
    }
}

fs::filesystem_error lastError(const std::string& what, const fs::path& path) {
    return fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

} // namespace varnel::UpdateFiles

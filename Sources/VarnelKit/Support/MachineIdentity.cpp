#include "VarnelKit/Support/MachineIdentity.hpp"

#include "VarnelKit/Support/Text.hpp"

#include <systemd/sd-id128.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <fstream>
#include <map>

namespace varnel::MachineIdentity {

namespace {

// Hashing the machine id with a key of our own keeps the raw id, which must stay private, off the
// wire, and gives the same value on every run.
// Spelled out as bytes: systemd's SD_ID128_MAKE is a C compound literal, which C++ does not have.
constexpr sd_id128_t applicationKey = {{0x6f, 0x3a, 0x91, 0xc2, 0x4e, 0x58, 0x4b, 0x0d, 0x9a, 0x17, 0xe2, 0x5c,
                                        0x80, 0xd4, 0x3b, 0x71}};

// KEY=value lines of an os-release style file, with quotes removed.
std::map<std::string, std::string> readKeyValueFile(const char* path) {
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos || line.empty() || line[0] == '#') continue;
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        values[line.substr(0, equals)] = Text::makeValidUtf8(value);
    }
    return values;
}

} // namespace

std::optional<std::string> platformUUID() {
    sd_id128_t id;
    if (sd_id128_get_machine_app_specific(applicationKey, &id) < 0) return std::nullopt;
    char text[SD_ID128_UUID_STRING_MAX];
    sd_id128_to_uuid_string(id, text);
    std::string uuid(text);
    for (char& c : uuid) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return uuid;
}

std::string hostname() {
    const auto info = readKeyValueFile("/etc/machine-info");
    if (auto it = info.find("PRETTY_HOSTNAME"); it != info.end() && !it->second.empty()) return it->second;
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name) != 0) return "localhost";
    name[HOST_NAME_MAX] = '\0';
    return Text::makeValidUtf8(name);
}

std::string formatOsVersion(std::string_view name, std::string_view version) {
    std::string numbers[3] = {"0", "0", "0"};
    std::size_t pos = 0;
    for (int part = 0; part < 3; ++part) {
        std::size_t start = pos;
        while (pos < version.size() && std::isdigit(static_cast<unsigned char>(version[pos]))) ++pos;
        if (pos == start) {
            if (part == 0) return "";
            break;
        }
        numbers[part] = std::string(version.substr(start, pos - start));
        if (pos >= version.size() || version[pos] != '.') break;
        ++pos;
    }
    return std::string(name) + " " + numbers[0] + "." + numbers[1] + "." + numbers[2];
}

std::string osVersion() {
    const auto release = readKeyValueFile("/etc/os-release");
    const auto name = release.find("NAME");
    const auto version = release.find("VERSION_ID");
    if (name != release.end() && version != release.end()) {
        if (auto text = formatOsVersion(name->second, version->second); !text.empty()) return text;
    }
    utsname system{};
    if (uname(&system) == 0) {
        if (auto text = formatOsVersion("Linux", system.release); !text.empty()) return text;
    }
    return "Linux 0.0.0";
}

} // namespace varnel::MachineIdentity

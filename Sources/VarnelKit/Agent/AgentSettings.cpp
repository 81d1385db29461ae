#include "VarnelKit/Agent/AgentSettings.hpp"

#include "VarnelKit/Support/AtomicFile.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/Paths.hpp"

#include <fstream>
#include <sstream>
#include <system_error>

namespace varnel {

bool AgentSettings::operator==(const AgentSettings& other) const {
    return deviceId == other.deviceId && deviceName == other.deviceName &&
           serverURL.buffer() == other.serverURL.buffer() && reverb == other.reverb;
}

std::filesystem::path AgentSettings::fileURL() { return Paths::settingsFile(); }

json::Ordered AgentSettings::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["deviceId"] = deviceId;
    object["deviceName"] = deviceName;
    object["serverURL"] = std::string(serverURL.buffer());
    object["reverb"] = reverb.toJson();
    return object;
}

AgentSettings AgentSettings::fromJson(const json::Value& value) {
    json::requireObject(value, "settings");
    const std::string serverText = json::requireString(value, "serverURL");
    auto server = parseAbsoluteUrl(serverText);
    if (!server) throw json::DecodeError("serverURL: not a URL");
    return AgentSettings{json::requireInt64(value, "deviceId"), json::requireString(value, "deviceName"),
                         std::move(*server), ReverbSettings::fromJson(json::requireMember(value, "reverb"))};
}

std::optional<AgentSettings> AgentSettings::load() noexcept {
    try {
        std::ifstream file(fileURL(), std::ios::binary);
        if (!file) return std::nullopt;
        std::ostringstream text;
        text << file.rdbuf();
        if (file.bad()) return std::nullopt;
        return fromJson(json::parse(text.str()));
    } catch (...) {
        return std::nullopt;
    }
}

namespace {

[[noreturn]] void failSaving(int status) {
    throw Error("Could not save the settings file: " + std::generic_category().message(status));
}

} // namespace

void AgentSettings::save() const {
    const auto path = fileURL();
    std::error_code created;
    std::filesystem::create_directories(path.parent_path(), created);
    if (created)
        failSaving(created.value());
    const std::string data = json::dump(toJson());
    if (const int status = AtomicFile::write(path, data); status != 0)
        failSaving(status);
}

void AgentSettings::clear() noexcept {
    try {
        std::error_code ignored;
        std::filesystem::remove(fileURL(), ignored);
    } catch (...) {
        // No data folder, so no file to remove.
    }
}

} // namespace varnel

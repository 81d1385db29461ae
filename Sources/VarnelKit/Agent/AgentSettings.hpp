#pragma once

#include "VarnelKit/Protocol/ReverbSettings.hpp"
#include "VarnelKit/Support/Json.hpp"
#include "VarnelKit/Support/Url.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace varnel {

// What an enrolled computer knows about itself, kept in Varnel/settings.json. The file's keys are
// camelCase ("deviceId", "deviceName", "serverURL", "reverb"), unlike the server's snake_case.
struct AgentSettings {
    std::int64_t deviceId = 0;
    std::string deviceName;
    Url serverURL;
    ReverbSettings reverb;

    bool operator==(const AgentSettings& other) const;

    // Worked out anew at every call; throws the Error of Paths::applicationSupport when the user
    // has no home folder.
    static std::filesystem::path fileURL();
    // The stored settings; none when the file is missing, unreadable or does not decode. Never
    // throws, never logs, never repairs the file.
    static std::optional<AgentSettings> load() noexcept;
    // Creates the folder, encodes, and replaces the file in one step. Throws a varnel::Error on the
    // first step that fails, "Could not save the settings file: " and the system's sentence for
    // the cause ("Permission denied"); the old file then stays as it was.
    void save() const;
    // Removes the file; every error, a missing file included, is ignored.
    static void clear() noexcept;

    json::Ordered toJson() const;
    // All four keys required, other keys ignored, the server URL must be an absolute URL.
    static AgentSettings fromJson(const json::Value& value);
};

} // namespace varnel

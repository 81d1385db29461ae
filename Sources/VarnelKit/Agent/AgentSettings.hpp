#pragma once

#include "VarnelKit/Agent/DataFolder.hpp"
#include "VarnelKit/Agent/RefusedFile.hpp"
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

    // The rules an enrollment keeps. They hold for the file whenever it is read as well: whoever
    // could write it would otherwise have the token sent in the clear.
    enum class Breach {
        serverNotHttps,      // the server is not an https address with a host
        realtimeUnencrypted, // an unencrypted real-time channel to a host other than this computer
    };
    // The first rule these settings break; none when they keep them all.
    std::optional<Breach> breach() const;

    // A settings file that breaks a rule: it is not used, and left as it is.
    class Refused : public RefusedFile {
    public:
        Refused(Breach breach, const AgentSettings& settings, const std::filesystem::path& file);
        Breach breach() const noexcept { return breach_; }

    private:
        Breach breach_;
    };

    // Worked out anew at every call; throws the Error of Paths::applicationSupport when the user
    // has no home folder.
    static std::filesystem::path fileURL();
    // The file's name within the data folder.
    static constexpr const char* fileName = "settings.json";
    // The stored settings; none when the file is missing, unreadable or does not decode. Throws
    // Refused for a file that decodes but breaks a rule, and DataFolder::Refused for a file or
    // folder that someone else can have changed, a link, anything but a regular file, or a file
    // larger than DataFolder::readLimit (DataFolder::openFile: the owner's own reading tightens a
    // folder or file open to others first). Never logs, never changes the contents.
    static std::optional<AgentSettings> load();
    static std::optional<AgentSettings> load(const DataFolder& folder);
    // The settings in a file's text, by the same rules; `file` names it in a refusal.
    static std::optional<AgentSettings> decode(const std::string& text, const std::filesystem::path& file);
    // Makes the data folder private (0700, an existing wider one tightened), encodes, and replaces
    // the file in one step with mode 0600, whatever the umask. Throws a varnel::Error on the first
    // step that fails, "Could not save the settings file: " and the system's sentence for the
    // cause ("Permission denied"), or DataFolder::Unwritable's sentence for a folder that is
    // another user's; the old file then stays as it was.
    void save() const;
    void save(const DataFolder& folder) const;
    // Removes the file; every error, a missing file included, is ignored.
    static void clear() noexcept;
    // Removes the file from a folder this process may write: 0, also when there was none, or the
    // errno of the removal.
    static int remove(const DataFolder& folder) noexcept;

    json::Ordered toJson() const;
    // All four keys required, other keys ignored, the server URL must be an absolute URL.
    static AgentSettings fromJson(const json::Value& value);
};

} // namespace varnel

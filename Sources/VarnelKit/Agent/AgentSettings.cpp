#include "VarnelKit/Agent/AgentSettings.hpp"

#include "VarnelKit/Agent/DataFolder.hpp"
#include "VarnelKit/Agent/StatusLine.hpp"
#include "VarnelKit/Support/AtomicFile.hpp"
#include "VarnelKit/Support/OwnedFolder.hpp"
#include "VarnelKit/Support/Paths.hpp"

#include <cerrno>
#include <system_error>

namespace varnel {

bool AgentSettings::operator==(const AgentSettings& other) const {
    return deviceId == other.deviceId && deviceName == other.deviceName &&
           serverURL.buffer() == other.serverURL.buffer() && reverb == other.reverb;
}

std::filesystem::path AgentSettings::fileURL() { return Paths::settingsFile(); }

std::optional<AgentSettings::Breach> AgentSettings::breach() const {
    // Known schemes compare in any letter case, as an enrollment reads the address typed.
    if (serverURL.scheme_id() != boost::urls::scheme::https || !serverURL.has_authority() ||
        serverURL.encoded_host().empty())
        return Breach::serverNotHttps;
    if (!reverb.isAcceptable())
        return Breach::realtimeUnencrypted;
    return std::nullopt;
}

namespace {

std::string refusal(AgentSettings::Breach breach, const AgentSettings& settings, const std::filesystem::path& file) {
    const std::string start = "Varnel will not use the settings in " + file.string() + ": ";
    const std::string remedy = " Enroll again to replace them.";
    // The values come from a file that anyone who broke the rules may have written: quoted, so
    // that they cannot pass for part of the sentence or drive the terminal.
    if (breach == AgentSettings::Breach::serverNotHttps) {
        return start + "the server address " + StatusLine::quoted(std::string(settings.serverURL.buffer())) +
               " is not https, so this Mac's credential would cross the network in the clear." + remedy;
    }
    return start + "they ask for an unencrypted realtime connection to " + StatusLine::quoted(settings.reverb.host) +
           "." + remedy;
}

} // namespace

AgentSettings::Refused::Refused(Breach breach, const AgentSettings& settings, const std::filesystem::path& file)
    : RefusedFile(refusal(breach, settings, file)), breach_(breach) {}

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

std::optional<AgentSettings> AgentSettings::load() {
    std::filesystem::path folder;
    try {
        folder = Paths::applicationSupport();
    } catch (const Error&) {
        return std::nullopt;
    }
    // Whoever could change the file could choose the server that receives the token.
    const auto data = DataFolder::inspect(folder);
    if (!data)
        return std::nullopt;
    return load(*data);
}

std::optional<AgentSettings> AgentSettings::load(const DataFolder& folder) {
    const auto text = folder.read(fileName, DataFolder::Contents::settings);
    if (!text)
        return std::nullopt;
    return decode(*text, folder.path() / fileName);
}

std::optional<AgentSettings> AgentSettings::decode(const std::string& text, const std::filesystem::path& file) {
    std::optional<AgentSettings> settings;
    try {
        settings = fromJson(json::parse(text));
    } catch (...) {
        return std::nullopt;
    }
    if (const auto broken = settings->breach())
        throw Refused(*broken, *settings, file);
    return settings;
}

namespace {

// The file names the server that receives the token: only this user may change it, or read it.
constexpr mode_t settingsMode = 0600;

[[noreturn]] void failSaving(int status) {
    throw Error("Could not save the settings file: " + std::generic_category().message(status));
}

} // namespace

void AgentSettings::save() const {
    const auto folder = Paths::applicationSupport();
    try {
        save(DataFolder::prepare(folder));
    } catch (const DataFolder::Unwritable& unwritable) {
        if (unwritable.foreign())
            throw;
        failSaving(unwritable.status());
    }
}

void AgentSettings::save(const DataFolder& folder) const {
    if (const int status = folder.makePrivate(); status != 0)
        failSaving(status);
    const std::string data = json::dump(toJson());
    if (const int status = AtomicFile::write(folder.descriptor(), fileName, data, settingsMode); status != 0)
        failSaving(status);
}

void AgentSettings::clear() noexcept {
    try {
        if (const auto folder = DataFolder::inspect(Paths::applicationSupport()); folder && folder->mayWrite())
            (void)remove(*folder);
    } catch (...) {
        // No data folder, or one this process may not change: no file of its own to remove.
    }
}

int AgentSettings::remove(const DataFolder& folder) noexcept {
    if (!folder.mayWrite())
        return EACCES;
    return OwnedFolder::removeIn(folder.descriptor(), fileName);
}

} // namespace varnel

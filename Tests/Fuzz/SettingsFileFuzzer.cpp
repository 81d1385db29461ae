// The settings file as the agent reads it from disk: any bytes in settings.json load as settings
// that keep the enrollment's rules, as none, or are refused for a rule they break, never with any
// other exception; loaded settings saved again load back equal.
#include "FuzzCheck.hpp"
#include "VarnelKit/Agent/AgentSettings.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

using namespace varnel;

namespace {

std::filesystem::path dataHome;

void removeDataHome() {
    std::error_code ignored;
    std::filesystem::remove_all(dataHome, ignored);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A private data folder, so the user's own settings are never read or replaced.
    std::string pattern = (std::filesystem::temp_directory_path() / "varnel-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    dataHome = pattern;
    setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    std::atexit(removeDataHome);
    std::filesystem::create_directories(AgentSettings::fileURL().parent_path());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream file(AgentSettings::fileURL(), std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!file)
            std::abort();
    }
    std::optional<AgentSettings> settings;
    try {
        settings = AgentSettings::load();
    } catch (const AgentSettings::Refused& refused) {
        const auto decoded = AgentSettings::fromJson(json::parse(fuzz::textOf(data, size)));
        fuzz::require(decoded.breach() == refused.breach(), "refused for the rule the settings break");
        return 0;
    }
    if (!settings)
        return 0;
    fuzz::require(!settings->breach(), "loaded settings keep the rules");
    settings->save();
    const auto again = AgentSettings::load();
    fuzz::require(again.has_value() && *again == *settings, "saved settings load back equal");
    return 0;
}

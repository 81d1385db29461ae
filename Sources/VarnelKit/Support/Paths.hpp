#pragma once

#include <filesystem>

namespace varnel::Paths {

// The per-user data folder of the system: ${XDG_DATA_HOME:-$HOME/.local/share}/Varnel. Read at
// every call, so tests point it elsewhere by setting XDG_DATA_HOME. Creates nothing.
std::filesystem::path applicationSupport();

std::filesystem::path logsDirectory();     // Varnel/Logs
std::filesystem::path settingsFile();      // Varnel/settings.json
std::filesystem::path keychainDirectory(); // Varnel/Keychain
std::filesystem::path updatesDirectory();  // Varnel/updates

} // namespace varnel::Paths

#pragma once

#include <filesystem>

namespace varnel::Paths {

// The per-user data folder of the system: ${XDG_DATA_HOME:-$HOME/.local/share}/Varnel, where
// XDG_DATA_HOME counts only as an absolute path and the home folder is $HOME, else the user's
// entry in the user database. Read at every call, so tests point it elsewhere by setting
// XDG_DATA_HOME. Creates nothing.
//
// With neither, it throws a varnel::Error that says so: there is no shared folder to fall back to
// (a name in the temporary folder can be taken first by another user, who would then choose the
// server that receives the device token), and nothing in the temporary folder outlives a restart.
std::filesystem::path applicationSupport();

// This user's home folder: $HOME when it is absolute, else the user database's entry; empty when
// there is neither.
std::filesystem::path homeDirectory();

std::filesystem::path logsDirectory();     // Varnel/Logs
std::filesystem::path settingsFile();      // Varnel/settings.json
std::filesystem::path keychainDirectory(); // Varnel/Keychain
std::filesystem::path updatesDirectory();  // Varnel/updates

} // namespace varnel::Paths

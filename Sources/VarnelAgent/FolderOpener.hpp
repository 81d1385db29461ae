#pragma once

#include <filesystem>

namespace varnel::CLI {

// Starts the desktop's opener on a folder and does not wait for it. The opener runs in a session
// of its own with its standard streams on /dev/null: on a machine without a desktop it may fall
// back to a text browser, which must not take over the terminal once the command has returned.
// Its exit is never collected: the command ends at once and the opener is handed to init.
// False when the program could not be started.
bool openFolder(const std::filesystem::path& folder,
                const std::filesystem::path& program = "/usr/bin/xdg-open");

} // namespace varnel::CLI

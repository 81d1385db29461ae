#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace varnel {

// What the application asks of the desktop: open a link or a folder, fill the clipboard, start a
// program on its own. Tests record the calls instead.
class Desktop {
public:
    virtual ~Desktop() = default;
    virtual void openUrl(const std::string& url) = 0;
    virtual void openPath(const std::filesystem::path& path) = 0;
    virtual void setClipboard(const std::string& text) = 0;
    // Starts the program in a session of its own, with this process's standard input, output and
    // error and no other descriptor. Gives its process id (a child of this process, for the caller
    // to wait for), none when it could not be started.
    virtual std::optional<pid_t> launchDetached(const std::filesystem::path& program,
                                                const std::vector<std::string>& arguments) = 0;
};

} // namespace varnel

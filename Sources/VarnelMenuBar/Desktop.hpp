#pragma once

#include <filesystem>
#include <string>
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
    // False when the program could not be started.
    virtual bool launchDetached(const std::filesystem::path& program,
                                const std::vector<std::string>& arguments) = 0;
};

} // namespace varnel

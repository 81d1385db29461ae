#pragma once

#include "VarnelMenuBar/Desktop.hpp"

namespace varnel {

// The desktop through Qt: xdg-open for links and folders, the system clipboard; programs started
// with posix_spawn.
class QtDesktop final : public Desktop {
public:
    void openUrl(const std::string& url) override;
    void openPath(const std::filesystem::path& path) override;
    void setClipboard(const std::string& text) override;
    std::optional<pid_t> launchDetached(const std::filesystem::path& program,
                                        const std::vector<std::string>& arguments) override;
};

} // namespace varnel

#pragma once

#include "VarnelMenuBar/Desktop.hpp"

namespace varnel {

// The desktop through Qt: xdg-open for links and folders, the system clipboard, QProcess.
class QtDesktop final : public Desktop {
public:
    void openUrl(const std::string& url) override;
    void openPath(const std::filesystem::path& path) override;
    void setClipboard(const std::string& text) override;
    bool launchDetached(const std::filesystem::path& program,
                        const std::vector<std::string>& arguments) override;
};

} // namespace varnel

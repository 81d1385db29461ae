#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <unistd.h>

namespace varnel::testing {

// Points the per-user data folder at a fresh temporary folder for the life of the object.
class TemporaryDataHome {
public:
    TemporaryDataHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "varnel-data-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        if (const char* old = std::getenv("XDG_DATA_HOME")) previous_ = old;
        ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
    }
    ~TemporaryDataHome() {
        if (previous_) {
            ::setenv("XDG_DATA_HOME", previous_->c_str(), 1);
        } else {
            ::unsetenv("XDG_DATA_HOME");
        }
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TemporaryDataHome(const TemporaryDataHome&) = delete;
    TemporaryDataHome& operator=(const TemporaryDataHome&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path varnel() const { return root_ / "Varnel"; }

private:
    std::filesystem::path root_;
    std::optional<std::string> previous_;
};

} // namespace varnel::testing

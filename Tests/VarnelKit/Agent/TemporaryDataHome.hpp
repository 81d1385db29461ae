#pragma once

#include "VarnelKit/TestSupport.hpp"

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

namespace varnel::testing {

// Points the per-user data folder at a fresh temporary folder for the life of the object.
class TemporaryDataHome {
public:
    TemporaryDataHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "varnel-data-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        environment_ = std::make_unique<ScopedEnvironment>("XDG_DATA_HOME", root_.string());
    }
    ~TemporaryDataHome() {
        environment_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TemporaryDataHome(const TemporaryDataHome&) = delete;
    TemporaryDataHome& operator=(const TemporaryDataHome&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path varnel() const { return root_ / "Varnel"; }

private:
    std::filesystem::path root_;
    std::unique_ptr<ScopedEnvironment> environment_;
};

} // namespace varnel::testing

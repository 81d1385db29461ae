#pragma once

#include "VarnelKit/Support/LogFile.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace varnel {

// The last lines of the application's own log file, for the configuration window's 2 s reload.
// The file is read again only when its size or modification time changed, so an open window does
// not read megabytes on the Qt thread every two seconds.
class LogTail {
public:
    static constexpr std::int64_t lineCount = 300;

    explicit LogTail(std::shared_ptr<LogFile> file) : file_(std::move(file)) {}

    // Oldest first, empty lines left out; none without a log file.
    std::vector<std::string> lines();

private:
    std::shared_ptr<LogFile> file_;
    std::uintmax_t size_ = 0;
    std::filesystem::file_time_type modified_{};
    bool read_ = false;
    std::vector<std::string> lines_;
};

} // namespace varnel

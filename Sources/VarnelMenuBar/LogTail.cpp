#include "VarnelMenuBar/LogTail.hpp"

#include "VarnelMenuBar/ConfigurationText.hpp"

#include <system_error>

namespace varnel {

std::vector<std::string> LogTail::lines() {
    if (!file_)
        return {};
    std::error_code error;
    const auto path = file_->fileURL();
    const auto size = std::filesystem::file_size(path, error);
    const auto modified =
        error ? std::filesystem::file_time_type{} : std::filesystem::last_write_time(path, error);
    if (error || !read_ || size != size_ || modified != modified_) {
        lines_ = ConfigurationText::logLines(file_->tail(lineCount));
        size_ = error ? 0 : size;
        modified_ = modified;
        read_ = !error;
    }
    return lines_;
}

} // namespace varnel

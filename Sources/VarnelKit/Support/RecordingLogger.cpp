#include "VarnelKit/Support/RecordingLogger.hpp"

#include "VarnelKit/Support/Text.hpp"

namespace varnel {

void RecordingLogger::append(std::string_view level, std::string_view message) {
    std::string line = "[";
    line += level;
    line += "] ";
    line += Text::makeValidUtf8(message);
    std::lock_guard lock(lock_);
    lines_.push_back(std::move(line));
}

std::vector<std::string> RecordingLogger::messages() const {
    std::lock_guard lock(lock_);
    return lines_;
}

bool RecordingLogger::contains(std::string_view text) const {
    const auto copy = messages();
    for (const auto& line : copy) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

} // namespace varnel

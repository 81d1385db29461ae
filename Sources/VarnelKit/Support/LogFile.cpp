#include "VarnelKit/Support/LogFile.hpp"

#include "VarnelKit/Support/Iso8601.hpp"
#include "VarnelKit/Support/Paths.hpp"
#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/Support/WriteAll.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <system_error>

namespace varnel {

LogFile::Configuration::Configuration(std::optional<std::filesystem::path> directory, std::string name,
                                      std::int64_t maxBytes, std::int64_t generations,
                                      std::size_t queueCapacity)
    : directory(directory ? *directory : defaultDirectory()), name(std::move(name)), maxBytes(maxBytes),
      generations(generations), queueCapacity(queueCapacity) {}

std::filesystem::path LogFile::Configuration::defaultDirectory() { return Paths::logsDirectory(); }

std::string LogFile::droppedNotice(std::uint64_t count) {
    return std::to_string(count) + " log lines dropped";
}

LogFile::LogFile(Configuration configuration)
    : config_(std::move(configuration)), worker_(config_.queueCapacity) {
    worker_.post([this] { open(); });
}

LogFile::~LogFile() {
    flush();
    worker_.sync([this] {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    });
}

void LogFile::open() {
    std::error_code ignored;
    std::filesystem::create_directories(config_.directory, ignored);
    // Appending: both programs of one user write this file, and each line must land at its end.
    fd_ = ::open(fileURL().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        bytesWritten_ = 0;
        return;
    }
    const off_t end = ::lseek(fd_, 0, SEEK_END);
    bytesWritten_ = end < 0 ? 0 : static_cast<std::int64_t>(end);
}

std::string LogFile::format(Clock::time_point at, std::string_view level, std::string_view message) {
    std::string line = Iso8601::milliseconds(at);
    line += " [";
    line += level;
    line += "] ";
    line += Text::makeValidUtf8(message);
    line += '\n';
    return line;
}

void LogFile::write(std::string_view level, std::string_view message) {
    (void)write(Clock::now(), level, message, nullptr);
}

bool LogFile::write(Clock::time_point at, std::string_view level, std::string_view message,
                    Companion companion) {
    std::string line = format(at, level, message);
    return worker_.tryPost(
        [this, at, line = std::move(line), companion = std::move(companion)](std::uint64_t dropped) {
            // Stamped like the line that got through: the loss happened just before it.
            if (dropped > 0)
                appendLine(format(at, droppedNoticeLevel, droppedNotice(dropped)));
            appendLine(line);
            if (companion)
                companion(dropped);
        });
}

void LogFile::appendLine(const std::string& line) {
    if (fd_ < 0) open();
    if (fd_ >= 0) {
        if (writeAll(fd_, line) != 0) {
            // Lost and not counted; the next line opens the file again.
            ::close(fd_);
            fd_ = -1;
            return;
        }
    }
    // Counted even when the file could not be opened, so that rotation is still attempted.
    bytesWritten_ += static_cast<std::int64_t>(line.size());
    if (bytesWritten_ >= config_.maxBytes) rotate();
}

std::filesystem::path LogFile::generation(std::int64_t index) const {
    return config_.directory / (config_.name + "." + std::to_string(index));
}

void LogFile::rotate() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    std::error_code ignored;
    for (std::int64_t i = config_.generations - 1; i >= 1; --i) {
        if (std::filesystem::exists(generation(i), ignored)) {
            std::filesystem::remove(generation(i + 1), ignored);
            std::filesystem::rename(generation(i), generation(i + 1), ignored);
        }
    }
    std::filesystem::remove(generation(1), ignored);
    std::filesystem::rename(fileURL(), generation(1), ignored);
    bytesWritten_ = 0;
    open();
}

std::string LogFile::tail(std::int64_t lines) {
    std::string result;
    worker_.sync([&] {
        if (lines <= 0) return;
        std::ifstream in(fileURL(), std::ios::binary);
        if (!in) return;
        std::ostringstream content;
        content << in.rdbuf();
        const std::string text = content.str();
        if (!in.good() && !in.eof()) return;
        if (!Text::isValidUtf8(text)) return;
        result = lastPieces(text, lines);
    });
    return result;
}

std::string_view LogFile::lastPieces(std::string_view text, std::int64_t lines) {
    // The last `lines` pieces start after the `lines`-th line feed counted from the end, or at the
    // start when there are fewer.
    std::int64_t seen = 0;
    for (std::size_t i = text.size(); i > 0; --i) {
        if (text[i - 1] == '\n' && ++seen == lines)
            return text.substr(i);
    }
    return text;
}

void LogFile::flush() {
    worker_.sync([] {});
}

bool LogFile::flushFor(std::chrono::steady_clock::duration limit) {
    return worker_.flushFor(limit);
}

std::vector<std::filesystem::path> LogFile::allFiles() const {
    std::vector<std::filesystem::path> files;
    std::error_code ignored;
    for (std::int64_t i = config_.generations; i >= 1; --i) {
        if (std::filesystem::exists(generation(i), ignored)) files.push_back(generation(i));
    }
    if (std::filesystem::exists(fileURL(), ignored)) files.push_back(fileURL());
    return files;
}

} // namespace varnel

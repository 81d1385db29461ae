#include "VarnelKit/Support/LogFile.hpp"

#include "VarnelKit/Support/Iso8601.hpp"
#include "VarnelKit/Support/OwnedFolder.hpp"
#include "VarnelKit/Support/Paths.hpp"
#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/Support/WriteAll.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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
    fd_ = -1;
    folder_.reset();
    bytesWritten_ = 0;
    // Only in a folder of this user's own, made there if need be: where another user owns it (root
    // given a user's HOME), no file is made or written, and the lines go to the journal alone.
    const uid_t user = ::geteuid();
    const auto parent = OwnedFolder::openForWriting(config_.directory.parent_path());
    if (!parent.folder.isOpen())
        return;
    Descriptor folder(OwnedFolder::makeIn(parent.folder.get(), config_.directory.filename().string()));
    if (!folder.isOpen() || OwnedFolder::ownerOf(folder.get()) != user)
        return;
    // Appending: both programs of one user write this file, and each line must land at its end.
    Descriptor file(::openat(folder.get(), config_.name.c_str(),
                             O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat info {};
    if (!file.isOpen() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != user)
        return;
    bytesWritten_ = static_cast<std::int64_t>(info.st_size);
    fd_ = file.release();
    folder_ = std::move(folder);
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
    if (folder_.isOpen()) {
        const int folder = folder_.get();
        const auto name = [this](std::int64_t index) { return generation(index).filename().string(); };
        for (std::int64_t i = config_.generations - 1; i >= 1; --i) {
            struct stat info {};
            if (::fstatat(folder, name(i).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
                ::unlinkat(folder, name(i + 1).c_str(), 0);
                ::renameat(folder, name(i).c_str(), folder, name(i + 1).c_str());
            }
        }
        ::unlinkat(folder, name(1).c_str(), 0);
        ::renameat(folder, config_.name.c_str(), folder, name(1).c_str());
    }
    open();
}

std::string LogFile::tail(std::int64_t lines) {
    std::string result;
    worker_.sync([&] {
        if (lines <= 0) return;
        // Read as the data folder is: one name at a time without a link, and only a file whose
        // owner owns the folders that hold it, whoever reads (root may read a user's log).
        const Descriptor parent(
            ::open(config_.directory.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!parent.isOpen()) return;
        const Descriptor folder(OwnedFolder::openIn(parent.get(), config_.directory.filename().string()));
        if (!folder.isOpen()) return;
        const Descriptor file(OwnedFolder::openFileIn(folder.get(), config_.name));
        struct stat info {};
        if (!file.isOpen() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
        const auto owner = OwnedFolder::ownerOf(folder.get());
        if (owner != info.st_uid || OwnedFolder::ownerOf(parent.get()) != owner) return;
        // The file is rotated at its limit; of a larger one (made so by someone else), the end.
        const auto limit = static_cast<off_t>(std::max<std::int64_t>(config_.maxBytes, 0)) + tailMargin;
        const off_t start = info.st_size > limit ? info.st_size - limit : 0;
        auto text = OwnedFolder::readAll(file.get(), static_cast<std::size_t>(limit), start);
        if (!text) return;
        if (start > 0) {
            // Its first line begins before what was read.
            const auto end = text->find('\n');
            text->erase(0, end == std::string::npos ? text->size() : end + 1);
        }
        if (!Text::isValidUtf8(*text)) return;
        result = lastPieces(*text, lines);
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

#include "VarnelMenuBar/LogTail.hpp"

#include "VarnelKit/Support/Text.hpp"
#include "VarnelMenuBar/ConfigurationText.hpp"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace varnel {

struct LogTail::State {
    std::mutex lock;
    const std::optional<std::filesystem::path> path;
    const std::chrono::milliseconds readInterval;
    std::function<void()> changed; // dropped when the owner goes
    bool reading = false;
    bool askedAgain = false;
    std::optional<std::chrono::steady_clock::time_point> lastRead;
    // What the last read saw of the file, and what it found in it.
    bool read = false;
    std::uintmax_t size = 0;
    std::filesystem::file_time_type modified{};
    std::vector<std::string> lines;

    State(std::optional<std::filesystem::path> path, std::chrono::milliseconds interval,
          std::function<void()> changed)
        : path(std::move(path)), readInterval(interval), changed(std::move(changed)) {}
};

namespace {

// The last `LogTail::lineCount` pieces of the file's end split at line feeds, as LogFile::tail
// gives them, from at most `LogTail::byteLimit` bytes; "" when the file cannot be read or is not
// valid UTF-8.
std::string readEnd(const std::filesystem::path& path, std::uintmax_t size) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    const auto limit = static_cast<std::uintmax_t>(LogTail::byteLimit);
    const std::uintmax_t start = size > limit ? size - limit : 0;
    in.seekg(static_cast<std::streamoff>(start));
    std::string text(static_cast<std::size_t>(size - start), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    // Begun part-way through the file: the first piece is the end of a line cut off.
    if (start > 0) {
        const auto first = text.find('\n');
        text.erase(0, first == std::string::npos ? text.size() : first + 1);
    }
    if (!Text::isValidUtf8(text))
        return {};
    return std::string(LogFile::lastPieces(text, LogTail::lineCount));
}

} // namespace

void LogTail::read(const std::shared_ptr<State>& state) {
    for (;;) {
        readOnce(*state);
        std::lock_guard lock(state->lock);
        // Asked again while reading: the file may have changed after it was looked at.
        if (!state->askedAgain) {
            state->reading = false;
            return;
        }
        state->askedAgain = false;
        state->lastRead = std::chrono::steady_clock::now();
    }
}

void LogTail::readOnce(State& state) {
    std::error_code error;
    const auto size = std::filesystem::file_size(*state.path, error);
    const auto modified =
        error ? std::filesystem::file_time_type{} : std::filesystem::last_write_time(*state.path, error);
    {
        std::lock_guard lock(state.lock);
        if (!error && state.read && size == state.size && modified == state.modified)
            return;
    }
    auto lines = error ? std::vector<std::string>{} : ConfigurationText::logLines(readEnd(*state.path, size));
    std::function<void()> changed;
    {
        std::lock_guard lock(state.lock);
        if (lines != state.lines)
            changed = state.changed;
        state.lines = std::move(lines);
        state.size = error ? 0 : size;
        state.modified = modified;
        state.read = !error;
    }
    if (changed)
        changed();
}

LogTail::LogTail(std::shared_ptr<LogFile> file, std::function<void()> changed,
                 std::chrono::milliseconds readInterval)
    : state_(std::make_shared<State>(file ? std::optional(file->fileURL()) : std::nullopt, readInterval,
                                     std::move(changed))) {}

LogTail::~LogTail() {
    // A read under way may outlive its owner; it tells no one.
    std::lock_guard lock(state_->lock);
    state_->changed = nullptr;
}

std::vector<std::string> LogTail::lines() {
    std::lock_guard lock(state_->lock);
    if (!state_->path)
        return {};
    const auto now = std::chrono::steady_clock::now();
    if (state_->reading) {
        state_->askedAgain = true;
    } else if (!state_->lastRead || now - *state_->lastRead >= state_->readInterval) {
        try {
            std::thread([state = state_] { read(state); }).detach();
            state_->reading = true;
            state_->lastRead = now;
        } catch (const std::system_error&) {
            // No thread to be had now: the lines stay as they were until a later call.
        }
    }
    return state_->lines;
}

} // namespace varnel

#pragma once

#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelKit/Support/SerialWorker.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// The agent's log on disk: lines appended through one serial worker, rotated at a size limit
// with a fixed number of older generations (".1" newest). Never reports a failure and never waits
// in write: logging must not stop the agent. The worker's queue is bounded; a line that finds it
// full is dropped and counted, and the next line written is preceded by droppedNotice(count).
class LogFile {
public:
    // A few megabytes of queued lines at most: far more than a burst of a busy agent, small enough that a
    // stalled disk or reader cannot grow the process without end.
    static constexpr std::size_t defaultQueueCapacity = 10'000;

    struct Configuration {
        std::filesystem::path directory;
        std::string name = "varnel.log";
        std::int64_t maxBytes = 5'242'880;
        std::int64_t generations = 3;
        std::size_t queueCapacity = defaultQueueCapacity;

        // Without a directory the default one, as it is at this moment; that throws the Error of
        // Paths::applicationSupport when the user has no home folder.
        Configuration(std::optional<std::filesystem::path> directory = std::nullopt,
                      std::string name = "varnel.log", std::int64_t maxBytes = 5'242'880,
                      std::int64_t generations = 3, std::size_t queueCapacity = defaultQueueCapacity);

        static std::filesystem::path defaultDirectory();
    };

    using Clock = std::chrono::system_clock;
    // Runs on the file's worker right after its line was written, told how many lines were
    // dropped just before that line.
    using Companion = std::function<void(std::uint64_t droppedBefore)>;

    // The line that stands for `count` dropped lines, in the file and wherever else they went.
    static std::string droppedNotice(std::uint64_t count);
    // The level that notice is written with.
    static constexpr std::string_view droppedNoticeLevel = "ERROR";

    explicit LogFile(Configuration configuration = Configuration());
    // Writes every line still queued, then closes the file.
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Stamps the line now and queues it; returns at once.
    void write(std::string_view level, std::string_view message);
    // Stamps the line with `at` and queues it together with `companion`: a logger's journal copy
    // of the line thus keeps the file's order and bound, and is dropped with it. A companion must
    // not wait for anything slower than the file (standard output has its own worker: EchoOutput).
    // False when the line was dropped.
    bool write(Clock::time_point at, std::string_view level, std::string_view message, Companion companion);
    // The last `lines` pieces of the current file split at line feeds; "" when the file is missing
    // or not valid UTF-8. Sees every line queued before the call.
    std::string tail(std::int64_t lines);
    // The last `lines` pieces of `text` split at line feeds, empty pieces kept: what tail() gives
    // of a file's text.
    static std::string_view lastPieces(std::string_view text, std::int64_t lines);
    // Waits until every queued line has reached the file (and its companion has run).
    void flush();
    // The same, for at most `limit`: true when every line queued before the call reached the file
    // within it. Returns after the limit even while the worker is stuck (a disk that does not
    // answer, a companion that waits).
    bool flushFor(std::chrono::steady_clock::duration limit);

    std::filesystem::path fileURL() const { return config_.directory / config_.name; }
    // Oldest generation first, the current file last; only files that exist.
    std::vector<std::filesystem::path> allFiles() const;

private:
    void open();
    void appendLine(const std::string& line);
    static std::string format(Clock::time_point at, std::string_view level, std::string_view message);
    void rotate();
    std::filesystem::path generation(std::int64_t index) const;

    // What tail() reads beyond the rotation's limit, for the line that crossed it.
    static constexpr std::int64_t tailMargin = 1024 * 1024;

    const Configuration config_;
    Descriptor folder_;           // the file's folder; touched only on the worker
    int fd_ = -1;                 // touched only on the worker
    std::int64_t bytesWritten_ = 0; // touched only on the worker
    SerialWorker worker_;         // last member: it is destroyed (and drained) first
};

} // namespace varnel

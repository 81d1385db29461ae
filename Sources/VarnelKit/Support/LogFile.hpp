#pragma once

#include "VarnelKit/Support/SerialWorker.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// The agent's log on disk: lines appended through one serial worker, rotated at a size limit
// with a fixed number of older generations (".1" newest). Never reports a failure: logging must
// not stop the agent.
class LogFile {
public:
    struct Configuration {
        std::filesystem::path directory;
        std::string name = "varnel.log";
        std::int64_t maxBytes = 5'242'880;
        std::int64_t generations = 3;

        // Without a directory the default one, as it is at this moment.
        Configuration(std::optional<std::filesystem::path> directory = std::nullopt, std::string name = "varnel.log",
                      std::int64_t maxBytes = 5'242'880, std::int64_t generations = 3);

        static std::filesystem::path defaultDirectory();
    };

    explicit LogFile(Configuration configuration = Configuration());
    // Writes every line still queued, then closes the file.
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Stamps the line now and queues it; returns at once.
    void write(std::string_view level, std::string_view message);
    // The last `lines` pieces of the current file split at line feeds; "" when the file is missing
    // or not valid UTF-8. Sees every line queued before the call.
    std::string tail(std::int64_t lines);
    // Waits until every queued line has reached the file.
    void flush();

    std::filesystem::path fileURL() const { return config_.directory / config_.name; }
    // Oldest generation first, the current file last; only files that exist.
    std::vector<std::filesystem::path> allFiles() const;

private:
    void open();
    void appendLine(const std::string& line);
    void rotate();
    std::filesystem::path generation(std::int64_t index) const;

    const Configuration config_;
    int fd_ = -1;                 // touched only on the worker
    std::int64_t bytesWritten_ = 0; // touched only on the worker
    SerialWorker worker_;         // last member: it is destroyed (and drained) first
};

} // namespace varnel

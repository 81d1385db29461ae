#pragma once

#include "VarnelKit/Support/LogFile.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace varnel {

// The last lines of the application's own log file, for the configuration window. The window asks
// on the Qt thread, which must never wait for a disk: lines() gives at once what the last read
// found, and starts a new read on a thread of its own. That read goes to the file itself, not
// through the log's writer, which may be held up behind a journal that does not answer; it takes
// at most the file's last `byteLimit` bytes, and only when the file's size or time changed; a call
// during a read has it look once more when it ends. A read that never returns (a disk that does
// not answer) holds only its own thread, and no other read starts while it lasts.
class LogTail {
public:
    static constexpr std::int64_t lineCount = 300;
    // 300 long lines; the lines the window shows are far shorter.
    static constexpr std::int64_t byteLimit = 1024 * 1024;

    // `changed` runs on the reading thread after a read that found other lines than before. Reads
    // start at most once per `readInterval`, however often the window asks.
    explicit LogTail(std::shared_ptr<LogFile> file, std::function<void()> changed = {},
                     std::chrono::milliseconds readInterval = std::chrono::seconds(1));
    ~LogTail();
    LogTail(const LogTail&) = delete;
    LogTail& operator=(const LogTail&) = delete;

    // Oldest first, empty lines left out; none without a log file, and none until the first read
    // has ended. Never waits.
    std::vector<std::string> lines();

private:
    struct State;
    static void read(const std::shared_ptr<State>& state);
    static void readOnce(State& state);

    std::shared_ptr<State> state_;
};

} // namespace varnel

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace varnel {

// The log's echo on standard output (or any descriptor): lines written in order by a thread of
// its own, behind a bounded queue of its own, so that a reader who does not read (a paused pager,
// a full pipe) holds up nothing but the echo itself. Never waits in line or print: a line that
// finds `capacity` lines already waiting is dropped and counted, and the next line that gets
// through is preceded by "N log lines dropped" (LogFile::droppedNotice, stamped and levelled as a
// log line). A write that fails (a reader that went away) loses that line only; SIGPIPE is blocked
// on the echo's thread, so such a write ends in EPIPE there instead of ending the process.
class EchoOutput {
public:
    using Clock = std::chrono::system_clock;
    using Duration = std::chrono::steady_clock::duration;

    static constexpr std::size_t defaultCapacity = 10'000;
    // How long the destructor lets queued lines out. What a reader has not taken by then is lost,
    // and a write still waiting for the reader is left to end on its own (nothing after it is
    // written), so a stuck standard output never holds up the end of a program.
    static constexpr std::chrono::milliseconds closingLimit{1000};

    // `descriptor` must stay open while the echo lives.
    explicit EchoOutput(int descriptor, std::size_t capacity = defaultCapacity);
    ~EchoOutput();
    EchoOutput(const EchoOutput&) = delete;
    EchoOutput& operator=(const EchoOutput&) = delete;

    // Queues "<ISO 8601, whole seconds> [LEVEL] text" and a line feed. False when it was dropped.
    bool line(Clock::time_point at, std::string_view level, std::string_view text);
    // Queues the program's own line as it is, with a line feed appended, among the log lines.
    // False when it was dropped.
    bool print(std::string_view text);
    // Waits until every line queued before the call was written (or lost to a failed write), or
    // for `limit`, whichever comes first; true in the first case. Returns after the limit even
    // while a write waits for a reader that does not read.
    bool flushFor(Duration limit);

private:
    struct State;

    bool enqueue(std::string text, Clock::time_point noticeAt);

    std::shared_ptr<State> state_; // shared with the thread, which may outlive the echo
    std::thread thread_;
};

} // namespace varnel

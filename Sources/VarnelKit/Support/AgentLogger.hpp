#pragma once

#include "VarnelKit/Support/AgentLogging.hpp"
#include "VarnelKit/Support/EchoOutput.hpp"
#include "VarnelKit/Support/LogFile.hpp"
#include "VarnelKit/Support/SerialWorker.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace varnel {

// The production logger: every line goes to the systemd journal, to the log file when there is
// one, and to standard output when echo is on. Copies share the same outputs.
//
// The caller only formats the line and queues it; nothing here waits. The journal is written by
// the log file's worker when there is a file (right after the line, and dropped with it), else by
// the logger's own; either queue is bounded (LogFile::defaultQueueCapacity lines), and a line that
// finds it full is dropped, counted, and announced by LogFile::droppedNotice(count) before the
// next line that gets through. The echo has a queue and a thread of its own (EchoOutput), dropped
// and counted the same way, so a paused reader of standard output (`varnel-agent run | less`)
// loses echoed lines only: the file and the journal never wait for it or lose a line to it.
class AgentLogger final : public AgentLogging {
public:
    // The most characters of a logged or printed line (SafeText::line); longer ones are cut.
    static constexpr std::size_t lineLimit = 4000;

    // Where lines are echoed: a descriptor that stays open while any copy of the logger lives, or
    // -1 for nowhere. A write to it that fails (a reader that went away) loses that line only.
    struct Echo {
        int descriptor = -1;
        // Echoed lines that may wait for a slow reader before more are dropped.
        std::size_t capacity = EchoOutput::defaultCapacity;
    };

    AgentLogger(std::string subsystem, std::string category, bool echoToStdout,
                std::shared_ptr<LogFile> file);
    AgentLogger(std::string subsystem, std::string category, Echo echo, std::shared_ptr<LogFile> file);

    void debug(std::string_view message) override;
    void info(std::string_view message) override;
    void error(std::string_view message) override;

    // A line of the program's own ("[status] connected") for the echo only, cut and cleaned like a
    // logged line but with no time stamp, with a line feed appended, in order with the echoed log
    // lines and dropped like them. Goes nowhere when echo is off. Never waits.
    void print(std::string_view line);

    // Waits until every line logged or printed before the call has reached the file, the journal
    // and the echo, for at most `limit` in all (the file first, then the echo); true when they all
    // got there. Returns after the limit even while standard output is not read. For the end of a
    // program, so that its last lines are out before it exits.
    bool flushFor(std::chrono::steady_clock::duration limit);

    const std::shared_ptr<LogFile>& file() const noexcept { return file_; }

private:
    struct Outputs;

    void emit(int priority, std::string_view level, std::string_view message);

    // Held by every queued line as well, so it never owns the worker that runs them.
    std::shared_ptr<const Outputs> outputs_;
    std::shared_ptr<LogFile> file_;
    // The logger's own worker for the journal, only when there is no file; the last copy drains it.
    std::shared_ptr<SerialWorker> worker_;
    // None when echo is off; the last copy lets its queued lines out (EchoOutput::closingLimit).
    std::shared_ptr<EchoOutput> echo_;
};

} // namespace varnel

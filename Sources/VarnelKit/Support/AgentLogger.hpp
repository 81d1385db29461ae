#pragma once

#include "VarnelKit/Support/AgentLogging.hpp"
#include "VarnelKit/Support/LogFile.hpp"
#include "VarnelKit/Support/SerialWorker.hpp"

#include <memory>
#include <string>

namespace varnel {

// The production logger: every line goes to the systemd journal, to the log file when there is
// one, and to standard output when echo is on. Copies share the same outputs.
//
// The caller only formats the line and queues it: the journal, the file and the echo are written
// by one worker, the log file's when there is one, else the logger's own, whose queue is bounded
// (LogFile::defaultQueueCapacity lines). When it is full the line is dropped from every output and
// counted, and the next line that gets through is preceded by LogFile::droppedNotice(count), so a
// paused reader of standard output (`varnel-agent run | less`) never holds up the agent.
class AgentLogger final : public AgentLogging {
public:
    // Where lines are echoed: a descriptor that stays open while any copy of the logger lives, or
    // -1 for nowhere. A write to it that fails (a reader that went away) loses that line only.
    struct Echo {
        int descriptor = -1;
    };

    AgentLogger(std::string subsystem, std::string category, bool echoToStdout,
                std::shared_ptr<LogFile> file);
    AgentLogger(std::string subsystem, std::string category, Echo echo, std::shared_ptr<LogFile> file);

    void debug(std::string_view message) override;
    void info(std::string_view message) override;
    void error(std::string_view message) override;

    const std::shared_ptr<LogFile>& file() const noexcept { return file_; }

private:
    struct Outputs;

    void emit(int priority, std::string_view level, std::string_view message);

    // Held by every queued line as well, so it never owns the worker that runs them.
    std::shared_ptr<const Outputs> outputs_;
    std::shared_ptr<LogFile> file_;
    // The logger's own worker, only when there is no file; the last copy drains it.
    std::shared_ptr<SerialWorker> worker_;
};

} // namespace varnel

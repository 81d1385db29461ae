#include "VarnelKit/Support/AgentLogger.hpp"

#include "VarnelKit/Support/SafeText.hpp"

#include <systemd/sd-journal.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

extern "C" char* program_invocation_short_name;

namespace varnel {

using Clock = LogFile::Clock;

// The journal's copy of each line. Runs on the file's worker, or on the logger's own.
struct AgentLogger::Outputs {
    std::string subsystem;
    std::string category;

    void send(std::uint64_t droppedBefore, int priority, const std::string& text) const {
        if (droppedBefore > 0)
            journal(LOG_ERR, LogFile::droppedNotice(droppedBefore));
        journal(priority, text);
    }

    // Every level is sent; the journal's own MaxLevelStore decides what it keeps. Without a
    // journal the call fails, which is ignored.
    void journal(int priority, const std::string& text) const {
        sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", priority, "SYSLOG_IDENTIFIER=%s",
                        program_invocation_short_name, "VARNEL_SUBSYSTEM=%s", subsystem.c_str(),
                        "VARNEL_CATEGORY=%s", category.c_str(), nullptr);
    }
};

AgentLogger::AgentLogger(std::string subsystem, std::string category, bool echoToStdout,
                         std::shared_ptr<LogFile> file)
    : AgentLogger(std::move(subsystem), std::move(category), Echo{echoToStdout ? STDOUT_FILENO : -1},
                  std::move(file)) {}

AgentLogger::AgentLogger(std::string subsystem, std::string category, Echo echo,
                         std::shared_ptr<LogFile> file)
    : outputs_(std::make_shared<const Outputs>(Outputs{std::move(subsystem), std::move(category)})),
      file_(std::move(file)) {
    if (!file_)
        worker_ = std::make_shared<SerialWorker>(LogFile::defaultQueueCapacity);
    if (echo.descriptor >= 0)
        echo_ = std::make_shared<EchoOutput>(echo.descriptor, std::max<std::size_t>(echo.capacity, 1));
}

void AgentLogger::debug(std::string_view message) {
    emit(LOG_DEBUG, "DEBUG", message);
}
void AgentLogger::info(std::string_view message) {
    emit(LOG_INFO, "INFO", message);
}
void AgentLogger::error(std::string_view message) {
    emit(LOG_ERR, "ERROR", message);
}

void AgentLogger::print(std::string_view line) {
    if (echo_)
        (void)echo_->print(SafeText::line(line, lineLimit));
}

void AgentLogger::emit(int priority, std::string_view level, std::string_view message) {
    const auto at = Clock::now();
    // Messages carry text from outside (a server's error page, a printer's answer): one line of a
    // bounded length and without controls, whatever the log file, the journal or a terminal makes
    // of it. A reply of megabytes would otherwise rotate the log's history away in a few lines.
    std::string text = SafeText::line(message, lineLimit);
    if (echo_)
        (void)echo_->line(at, level, text);
    if (file_) {
        auto companion = [outputs = outputs_, priority, text](std::uint64_t dropped) {
            outputs->send(dropped, priority, text);
        };
        (void)file_->write(at, level, text, std::move(companion));
    } else {
        auto work = [outputs = outputs_, priority, text = std::move(text)](std::uint64_t dropped) {
            outputs->send(dropped, priority, text);
        };
        (void)worker_->tryPost(std::move(work));
    }
}

bool AgentLogger::flushFor(std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const auto left = [deadline] {
        return std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
    };
    bool complete = file_ ? file_->flushFor(limit) : worker_->flushFor(limit);
    if (echo_)
        complete = echo_->flushFor(left()) && complete;
    return complete;
}

} // namespace varnel

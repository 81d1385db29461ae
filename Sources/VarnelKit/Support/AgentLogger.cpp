#include "VarnelKit/Support/AgentLogger.hpp"

#include "VarnelKit/Support/Iso8601.hpp"
#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/Support/WriteAll.hpp"

#include <systemd/sd-journal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

extern "C" char* program_invocation_short_name;

namespace varnel {

using Clock = LogFile::Clock;

// Runs on the worker only.
struct AgentLogger::Outputs {
    std::string subsystem;
    std::string category;
    int echoDescriptor;

    void send(std::uint64_t droppedBefore, int priority, std::string_view level, Clock::time_point at,
              const std::string& text) const {
        if (droppedBefore > 0) {
            const std::string notice = LogFile::droppedNotice(droppedBefore);
            journal(LOG_ERR, notice);
            echo(at, LogFile::droppedNoticeLevel, notice);
        }
        journal(priority, text);
        echo(at, level, text);
    }

    // Every level is sent; the journal's own MaxLevelStore decides what it keeps. Without a
    // journal the call fails, which is ignored.
    void journal(int priority, const std::string& text) const {
        sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", priority, "SYSLOG_IDENTIFIER=%s",
                        program_invocation_short_name, "VARNEL_SUBSYSTEM=%s", subsystem.c_str(),
                        "VARNEL_CATEGORY=%s", category.c_str(), nullptr);
    }

    void echo(Clock::time_point at, std::string_view level, std::string_view text) const {
        if (echoDescriptor < 0)
            return;
        std::string line = Iso8601::wholeSeconds(at);
        line += " [";
        line += level;
        line += "] ";
        line += text;
        line += '\n';
        // The program's own output sits in stdio's buffer; letting it out first keeps it near the
        // log lines it was printed among.
        if (echoDescriptor == STDOUT_FILENO)
            std::fflush(stdout);
        // A closed pipe, a full non-blocking one: this line is lost.
        (void)writeAll(echoDescriptor, line);
    }
};

AgentLogger::AgentLogger(std::string subsystem, std::string category, bool echoToStdout,
                         std::shared_ptr<LogFile> file)
    : AgentLogger(std::move(subsystem), std::move(category), Echo{echoToStdout ? STDOUT_FILENO : -1},
                  std::move(file)) {}

AgentLogger::AgentLogger(std::string subsystem, std::string category, Echo echo,
                         std::shared_ptr<LogFile> file)
    : outputs_(std::make_shared<const Outputs>(
          Outputs{std::move(subsystem), std::move(category), echo.descriptor})),
      file_(std::move(file)) {
    if (!file_)
        worker_ = std::make_shared<SerialWorker>(LogFile::defaultQueueCapacity);
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

// `level` is always one of the literals above, so the queued work may keep the view.
void AgentLogger::emit(int priority, std::string_view level, std::string_view message) {
    const auto at = Clock::now();
    std::string text = Text::makeValidUtf8(message);
    if (file_) {
        auto companion = [outputs = outputs_, priority, level, at, text](std::uint64_t dropped) {
            outputs->send(dropped, priority, level, at, text);
        };
        (void)file_->write(at, level, text, std::move(companion));
    } else {
        auto work = [outputs = outputs_, priority, level, at, text = std::move(text)](std::uint64_t dropped) {
            outputs->send(dropped, priority, level, at, text);
        };
        (void)worker_->tryPost(std::move(work));
    }
}

} // namespace varnel

#include "VarnelKit/Support/AgentLogger.hpp"

#include "VarnelKit/Support/Iso8601.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <systemd/sd-journal.h>
#include <syslog.h>

#include <chrono>
#include <cstdio>
#include <mutex>

extern "C" char* program_invocation_short_name;

namespace varnel {

namespace {
// Lines echoed from several threads must not interleave within a line.
std::mutex& stdoutLock() {
    static std::mutex lock;
    return lock;
}
} // namespace

AgentLogger::AgentLogger(std::string subsystem, std::string category, bool echoToStdout, std::shared_ptr<LogFile> file)
    : subsystem_(std::move(subsystem)), category_(std::move(category)), echoToStdout_(echoToStdout),
      file_(std::move(file)) {}

void AgentLogger::debug(std::string_view message) { emit(LOG_DEBUG, "DEBUG", message); }
void AgentLogger::info(std::string_view message) { emit(LOG_INFO, "INFO", message); }
void AgentLogger::error(std::string_view message) { emit(LOG_ERR, "ERROR", message); }

void AgentLogger::emit(int priority, std::string_view level, std::string_view message) {
    const std::string text = Text::makeValidUtf8(message);

    // Every level is sent; the journal's own MaxLevelStore decides what it keeps. Without a
    // journal the call fails, which is ignored.
    sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", priority, "SYSLOG_IDENTIFIER=%s",
                    program_invocation_short_name, "VARNEL_SUBSYSTEM=%s", subsystem_.c_str(), "VARNEL_CATEGORY=%s",
                    category_.c_str(), nullptr);

    if (file_) file_->write(level, text);

    if (echoToStdout_) {
        std::string line = Iso8601::wholeSeconds(std::chrono::system_clock::now());
        line += " [";
        line += level;
        line += "] ";
        line += text;
        line += '\n';
        std::lock_guard lock(stdoutLock());
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
}

} // namespace varnel

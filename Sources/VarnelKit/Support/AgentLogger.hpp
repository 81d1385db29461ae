#pragma once

#include "VarnelKit/Support/AgentLogging.hpp"
#include "VarnelKit/Support/LogFile.hpp"

#include <memory>
#include <string>

namespace varnel {

// The production logger: every line goes to the systemd journal, to the log file when there is
// one, and to standard output when echo is on. Copies share the same log file.
class AgentLogger final : public AgentLogging {
public:
    AgentLogger(std::string subsystem, std::string category, bool echoToStdout, std::shared_ptr<LogFile> file);

    void debug(std::string_view message) override;
    void info(std::string_view message) override;
    void error(std::string_view message) override;

    const std::shared_ptr<LogFile>& file() const noexcept { return file_; }

private:
    void emit(int priority, std::string_view level, std::string_view message);

    std::string subsystem_;
    std::string category_;
    bool echoToStdout_;
    std::shared_ptr<LogFile> file_;
};

} // namespace varnel

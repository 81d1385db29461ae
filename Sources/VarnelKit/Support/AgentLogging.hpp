#pragma once

#include <string_view>

namespace varnel {

// What every component logs through. Calls return nothing, never throw and never wait.
class AgentLogging {
public:
    virtual ~AgentLogging() = default;
    virtual void debug(std::string_view message) = 0;
    virtual void info(std::string_view message) = 0;
    virtual void error(std::string_view message) = 0;
};

// Discards every line.
class SilentLogger final : public AgentLogging {
public:
    void debug(std::string_view) override {}
    void info(std::string_view) override {}
    void error(std::string_view) override {}
};

} // namespace varnel

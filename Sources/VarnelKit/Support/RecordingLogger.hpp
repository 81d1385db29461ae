#pragma once

#include "VarnelKit/Support/AgentLogging.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace varnel {

// Keeps every line in memory as "[LEVEL] message", for tests that look at what was logged.
class RecordingLogger final : public AgentLogging {
public:
    void debug(std::string_view message) override { append("DEBUG", message); }
    void info(std::string_view message) override { append("INFO", message); }
    void error(std::string_view message) override { append("ERROR", message); }

    std::vector<std::string> messages() const;
    // Whether any recorded line contains the text (case-sensitive).
    bool contains(std::string_view text) const;

private:
    void append(std::string_view level, std::string_view message);

    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

} // namespace varnel

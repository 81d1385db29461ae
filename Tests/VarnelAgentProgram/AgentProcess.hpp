#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace varnel::testing {

// The program run as a child process with the test's environment, its standard output and error
// read into memory by threads of their own, and its exit awaited by another: every wait is on an
// event, bounded by a limit. A child still running at the end is killed by its process id.
class AgentProcess {
public:
    struct Options {
        // Off: nobody reads standard output until startReading().
        bool readOutput = true;
        // Standard output is a pipe already full when the program starts.
        bool fullOutput = false;
    };

    explicit AgentProcess(std::vector<std::string> arguments)
        : AgentProcess(std::move(arguments), Options{}) {}
    AgentProcess(std::vector<std::string> arguments, Options options);
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    pid_t pid() const { return pid_; }
    void startReading();
    void signal(int number) const;

    std::string output() const;
    std::string errors() const;
    // Waits until `condition` holds for everything read from standard output so far.
    bool waitForOutput(const std::function<bool(const std::string&)>& condition,
                       std::chrono::milliseconds limit);
    bool waitForLine(const std::string& line, std::chrono::milliseconds limit);
    // The exit status; none when the program was still running at the limit, -1 when a signal
    // ended it.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);

private:
    void readInto(int descriptor, std::string& text);

    pid_t pid_ = -1;
    int outputDescriptor_ = -1;
    int errorDescriptor_ = -1;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::string output_;
    std::string errors_;
    std::optional<int> status_;
    std::thread outputReader_;
    std::thread errorReader_;
    std::thread waiter_;
};

// The program under test, as built beside the tests.
std::string agentProgram();

} // namespace varnel::testing

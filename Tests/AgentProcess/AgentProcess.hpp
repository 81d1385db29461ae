#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

namespace varnel::testing {

// A program (the shipped agent, usually) run as a child process: its standard output and error
// read into memory by threads of their own, each output line with the time it arrived, and its
// exit awaited by another thread, so every wait is on an event, bounded by a limit. A child still
// running at the end is killed by its process id; it also gets SIGKILL when the thread that
// started it dies, so a crashed test leaves no program behind.
class AgentProcess {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        // The child's environment, "NAME=value" each; none: this process's own.
        std::optional<std::vector<std::string>> environment = std::nullopt;
        // Standard error goes into standard output's pipe, in the order the program wrote them.
        bool mergeErrors = false;
        // Off: nobody reads standard output while the program runs.
        bool readOutput = true;
        // Standard output is a pipe already full when the program starts.
        bool fullOutput = false;
        // The program starts with these of its descriptors 0, 1 and 2 closed, as a service manager
        // or a shell's `>&-` may start it.
        std::vector<int> closedDescriptors = {};
    };

    explicit AgentProcess(std::vector<std::string> arguments)
        : AgentProcess(std::move(arguments), Options{}) {}
    AgentProcess(std::vector<std::string> arguments, Options options);
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    pid_t pid() const { return pid_; }
    Clock::time_point launchedAt() const { return launchedAt_; }
    void signal(int number) const;

    // Standard output (with standard error when merged), and standard error.
    std::string output() const;
    std::string errors() const;
    // Waits until `condition` holds for everything read from standard output so far.
    bool waitForOutput(const std::function<bool(const std::string&)>& condition,
                       std::chrono::milliseconds limit);
    // When a whole line containing `text` arrived on standard output; none within `limit`, or once
    // the output ended without it.
    std::optional<Clock::time_point> waitForLine(const std::string& text, Clock::duration limit);
    std::size_t lineCount() const;

    // The exit status; none when the program was still running at the limit, -1 when a signal
    // ended it.
    std::optional<int> waitForExit(Clock::duration limit);
    bool running() const;
    // When the exit was reaped; none while it runs.
    std::optional<Clock::time_point> endedAt() const;
    // What ended the process, for a report: "exited with status 0", "killed by signal 9 (Killed)".
    std::string ending() const;

private:
    void startReading();
    void readInto(int descriptor, std::string& text, bool lines);

    pid_t pid_ = -1;
    Clock::time_point launchedAt_;
    int outputDescriptor_ = -1;
    int errorDescriptor_ = -1;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::string output_;
    std::string errors_;
    std::vector<std::pair<Clock::time_point, std::string>> lines_;
    std::string partialLine_;
    bool outputEnded_ = false;
    bool errorsEnded_ = false;
    std::optional<int> waitStatus_;
    Clock::time_point endedAt_;
    std::thread outputReader_;
    std::thread errorReader_;
    std::thread waiter_;
};

// The program under test, as built beside the tests.
std::string agentProgram();

// This process's environment with a data folder of the program's own (XDG_DATA_HOME under
// `home`), the bench's certificate authority (SSL_CERT_FILE) and a CUPS_SERVER on which nothing
// listens, so that discovery never touches the machine's scheduler.
std::vector<std::string> agentEnvironment(const std::filesystem::path& home,
                                          const std::filesystem::path& caFile);

// One whole run of a program: its output (standard output and error together) and exit status,
// and how long it took from the start to the reaped exit.
struct CommandRun {
    int status = -1; // the exit status, or -1 when it did not exit normally
    std::string output;
    double milliseconds = 0;
};
CommandRun runCommand(const std::vector<std::string>& arguments, const std::vector<std::string>& environment);

} // namespace varnel::testing

#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace varnel::integration {

// A private CUPS scheduler for the tests: its own folders under /tmp, listening on a loopback port
// and a socket of its own, started by the test and stopped by its process id. libcups in this
// process is pointed at it through CUPS_SERVER.
class CupsScheduler {
public:
    CupsScheduler();
    ~CupsScheduler();
    CupsScheduler(const CupsScheduler&) = delete;
    CupsScheduler& operator=(const CupsScheduler&) = delete;

    // Stops the scheduler by its process id and waits for it to exit; its folders and port stay.
    void stop();
    // Starts it again on the same folders and port, with the queues and jobs it kept.
    void start();
    // Ends it as a crash does (SIGKILL), and waits for it: what it had not yet saved is gone, and the
    // filters and backends it had started go on.
    void kill();
    // Stops it and starts it again with these lines added to its configuration (none: as it began).
    void reconfigure(std::vector<std::string> extraLines);

    // Freezes the running scheduler (SIGSTOP) and lets it go on (SIGCONT): while frozen it still
    // accepts connections, through the kernel, but answers nothing.
    void pause() const;
    void resume() const;

    // The socket libcups in this process is pointed at.
    const std::string& socketPath() const noexcept { return socket_; }

    // Runs a CUPS command-line tool against this scheduler; its exit status.
    int run(const std::vector<std::string>& arguments) const;
    // The scheduler's error log, for failure messages.
    std::string log() const;

private:
    void writeConfiguration() const;
    bool waitUntilReady();

    std::vector<std::string> extraLines_;
    std::string folder_;
    std::string socket_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Starts a program with its output appended to a file; its process id, or -1.
pid_t spawnProgram(const std::vector<std::string>& arguments, const std::string& output);
// Waits for a started program; its exit status (-1 when it did not exit normally).
int waitForProgram(pid_t pid);
// Runs a program with its arguments and waits for it; its exit status (-1 when it could not run).
int runProgram(const std::vector<std::string>& arguments);

} // namespace varnel::integration

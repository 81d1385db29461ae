#pragma once

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/Enrollment.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Platform/CupsApi.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/HeapMemory.hpp"
#include "VarnelKit/Support/Task.hpp"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::CLI {

// The options after the command word: "--name value" pairs and "--name" flags.
struct Options {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;

    explicit Options(const std::vector<std::string>& args);

    const std::string* value(const std::string& name) const;
    bool flag(const std::string& name) const { return flags.count(name) != 0; }
};

// A command refused: a required option is missing (usage) or it cannot go on (message). Either
// way the text is what the user reads after "Error: ".
class CLIError : public Error {
public:
    enum class Kind { usage, message };

    static CLIError usage(std::string text) { return CLIError(Kind::usage, std::move(text)); }
    static CLIError message(std::string text) { return CLIError(Kind::message, std::move(text)); }

    Kind kind() const noexcept { return kind_; }

private:
    CLIError(Kind kind, std::string text) : Error(std::move(text)), kind_(kind) {}
    Kind kind_;
};

// What the commands reach the machine, the printers and the server through. system() gives the
// real ones; tests replace them.
struct Services {
    // The CUPS queues as printers. Blocks: called on the blocking pool.
    std::function<std::vector<ReportedPrinter>()> discoverPrinters;
    // Every printer checked at once (2 s each), in their order.
    std::function<Awaitable<std::vector<ReportedPrinter>>(std::vector<ReportedPrinter>)> probePrinters;
    // The scheduler a test label to a CUPS queue goes through.
    std::shared_ptr<CupsApi> cups;
    // Trades a code for a stored token and settings file; gives the enrolled device.
    std::function<Awaitable<Enrollment::Success>(std::string serverURL, std::string code)> enroll;
    // One heartbeat as the agent sends it, with the stored settings and token.
    std::function<Awaitable<std::optional<VarnelAPIClient::AgentUpdate>>(AgentSettings, std::string token)>
        heartbeat;
    // Shows a folder in the desktop's file browser without waiting for it; failures are ignored.
    std::function<void(const std::filesystem::path& folder)> openFolder;

    static Services system();
};

// Where a command prints, and what it works with.
struct Environment {
    std::ostream& out;
    std::ostream& err;
    Services services;
};

// The most characters of one printed line: above a log line with its time stamp and level, so
// that `logs` shows those whole.
inline constexpr std::size_t printedLineLimit = 4096;

// The text and its line break to standard output, flushed: one print. Each of its lines is cut at
// printedLineLimit and shows control characters other than tab as U+FFFD (SafeText::lines).
void print(std::ostream& out, std::string_view line);

// Text from outside the program (the server, a stored setting, a printer) within one printed line:
// a line break in it is shown as U+FFFD too, so it cannot pass for a line of the program's own.
std::string shown(std::string_view text);

void usage(std::ostream& out);

// Runs the command the words name (the program's path not among them) and gives the exit status.
int dispatch(const std::vector<std::string>& words, Environment& environment);

// The program's entry, on the process's standard streams, with its heap kept as `heap` says (the
// benchmarks measure other ways).
int main(int argc, char** argv, const HeapMemory::Policy& heap = HeapMemory::programPolicy);

// The commands. Those that return an Awaitable run on the agent loop; the others on the caller's
// thread. A refusal or failure is thrown; dispatch turns it into the "Error: " line.
Awaitable<void> enroll(const Options& options, Environment& environment);
void status(Environment& environment);
Awaitable<void> run(const Options& options, Environment& environment);
Awaitable<void> printers(Environment& environment);
Awaitable<void> testPrint(const Options& options, Environment& environment);
Awaitable<void> doctor(Environment& environment);
void logs(const Options& options, Environment& environment);
void logout(Environment& environment);

// The stored enrollment, as run needs it; nothing is created when it is incomplete.
struct Session {
    AgentSettings settings;
    std::shared_ptr<VarnelAPIClient> api;
};
Session loadSession(bool verbose);

} // namespace varnel::CLI

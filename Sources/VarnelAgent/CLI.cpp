#include "CLI.hpp"

#include "DescriptorStream.hpp"
#include "StandardDescriptors.hpp"
#include "VarnelKit/Agent/StoredEnrollment.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"
#include "VarnelKit/Support/HeapMemory.hpp"
#include "VarnelKit/Support/SafeText.hpp"

#include <boost/asio/co_spawn.hpp>
#include <csignal>
#include <exception>
#include <iostream>
#include <unistd.h>
#include <utility>

namespace varnel::CLI {

namespace {

bool isOption(std::string_view word) {
    return word.size() >= 2 && word.substr(0, 2) == "--";
}

// Runs an asynchronous command on a loop of its own on this thread, until it ends; what it threw is
// thrown here.
int runOnLoop(Awaitable<void> command) {
    AgentLoop loop;
    std::exception_ptr failure;
    boost::asio::co_spawn(loop.context(), std::move(command), [&](std::exception_ptr error) {
        failure = error;
        loop.stop();
    });
    loop.run();
    if (failure)
        std::rethrow_exception(failure);
    return 0;
}

int showUsage(const Options&, Environment& environment) {
    usage(environment.out);
    return 0;
}

// The self-test prints its own report; a failed check is its finding, not an error line.
int selfTest(Environment& environment) {
    environment.out.flush();
    return SelfTest::run(stdout) ? 0 : 1;
}

} // namespace

Options::Options(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size();) {
        const std::string& word = args[i];
        if (!isOption(word)) {
            ++i;
            continue;
        }
        const std::string name = word.substr(2);
        if (i + 1 < args.size() && !isOption(args[i + 1])) {
            values[name] = args[i + 1];
            i += 2;
        } else {
            flags.insert(name);
            i += 1;
        }
    }
}

const std::string* Options::value(const std::string& name) const {
    const auto found = values.find(name);
    return found == values.end() ? nullptr : &found->second;
}

void print(std::ostream& out, std::string_view line) {
    out << SafeText::lines(line, printedLineLimit) << '\n';
    out.flush();
}

std::string shown(std::string_view text) {
    return SafeText::line(text, printedLineLimit);
}

void usage(std::ostream& out) {
    const std::string text = std::string("varnel-agent ") + AgentVersion::current +
                             "\n"
                             "\n"
                             "Usage:\n"
                             "  varnel-agent enroll --server <url> --code <VRNL-XXXX-XXXX>\n"
                             "  varnel-agent run [--verbose]\n"
                             "  varnel-agent printers\n"
                             "  varnel-agent test --printer <key> [--language zpl|tspl2]\n"
                             "  varnel-agent status\n"
                             "  varnel-agent doctor\n"
                             "  varnel-agent logout\n"
                             "  varnel-agent logs [--lines 200] [--path] [--reveal]\n"
                             "  varnel-agent selftest\n"
                             "\n"
                             "One agent runs per data folder: while the tray application or another run\n"
                             "runs it, run says so and ends at once with status 1. The other commands\n"
                             "work beside a running agent.";
    print(out, text);
}

void logout(Environment& environment) {
    // What could not be cleared fails the command with its reason: the credential may still be there.
    StoredEnrollment::clear(CredentialStore::deviceToken());
    print(environment.out, "Credentials cleared. This Mac will need a new enrollment code.");
}

int dispatch(const std::vector<std::string>& words, Environment& environment) {
    const std::string command = words.empty() ? "help" : words.front();
    const Options options(words.empty() ? std::vector<std::string>{}
                                        : std::vector<std::string>(words.begin() + 1, words.end()));

    // Each gives the exit status of a command that did not fail; a failure is thrown.
    using Operation = int (*)(const Options&, Environment&);
    static const std::vector<std::pair<std::string_view, Operation>> commands = {
        {"enroll", [](const Options& o, Environment& e) { return runOnLoop(enroll(o, e)); }},
        {"run", [](const Options& o, Environment& e) { return runOnLoop(run(o, e)); }},
        {"printers", [](const Options&, Environment& e) { return runOnLoop(printers(e)); }},
        {"test", [](const Options& o, Environment& e) { return runOnLoop(testPrint(o, e)); }},
        {"status", [](const Options&, Environment& e) { return status(e), 0; }},
        {"doctor", [](const Options&, Environment& e) { return runOnLoop(doctor(e)); }},
        {"logout", [](const Options&, Environment& e) { return logout(e), 0; }},
        {"logs", [](const Options& o, Environment& e) { return logs(o, e), 0; }},
        {"selftest", [](const Options&, Environment& e) { return selfTest(e); }},
        {"help", showUsage},
        {"--help", showUsage},
        {"-h", showUsage},
    };
    for (const auto& [word, operation] : commands) {
        if (word != command)
            continue;
        try {
            return operation(options, environment);
        } catch (...) {
            environment.out.flush();
            environment.err << "Error: " + shown(describeException(std::current_exception())) + "\n";
            environment.err.flush();
            return 1;
        }
    }
    environment.err << "Unknown command: " + shown(command) + "\n\n";
    environment.err.flush();
    usage(environment.out);
    return 2;
}

int main(int argc, char** argv, const HeapMemory::Policy& heap) {
    reopenMissingStandardDescriptors();
    // A closed standard output or a dropped connection must end a write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    HeapMemory::adopt(heap);

    std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    DescriptorStream errors(STDERR_FILENO);
    Environment environment{std::cout, errors, Services::system()};
    return dispatch(words, environment);
}

} // namespace varnel::CLI

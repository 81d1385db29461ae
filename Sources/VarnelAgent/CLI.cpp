#include "CLI.hpp"

#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <string_view>
#include <utility>

namespace varnel::CLI {

namespace {

bool isOption(std::string_view word) { return word.size() >= 2 && word.substr(0, 2) == "--"; }

// Lines on standard error go out whole, in one unbuffered write.
void writeError(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
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

void usage() {
    std::string text = std::string("varnel-agent ") + AgentVersion::current + "\n"
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
                       "  varnel-agent selftest\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

int main(int argc, char** argv) {
    // A closed standard output or a dropped connection must end a write, not the process.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    const std::string command = words.empty() ? "help" : words.front();
    const Options options(words.empty() ? std::vector<std::string>{}
                                        : std::vector<std::string>(words.begin() + 1, words.end()));
    (void)options;

    const std::vector<std::pair<std::string, std::function<int()>>> commands = {
        {"selftest", [] { return SelfTest::run() ? 0 : 1; }},
        {"help", [] { usage(); return 0; }},
        {"--help", [] { usage(); return 0; }},
        {"-h", [] { usage(); return 0; }},
    };
    for (const auto& [word, operation] : commands) {
        if (word != command) continue;
        try {
            return operation();
        } catch (const std::exception& e) {
            writeError(std::string("Error: ") + e.what() + "\n");
            return 1;
        }
    }
    writeError("Unknown command: " + command + "\n\n");
    usage();
    return 2;
}

} // namespace varnel::CLI

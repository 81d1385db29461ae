#include "CLI.hpp"
#include "VarnelKit/Support/LogFile.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <algorithm>

namespace varnel::CLI {

namespace {

// A whole decimal number with an optional sign, else 100.
std::int64_t logLineCount(const Options& options) {
    const std::string* text = options.value("lines");
    const auto count = text ? NumberText::parseInteger(*text) : std::nullopt;
    // A count below zero shows nothing, as zero does.
    return count ? std::max<std::int64_t>(*count, 0) : 100;
}

} // namespace

void logs(const Options& options, Environment& environment) {
    // Throws the no-home-folder sentence before anything is created: the command then fails with it.
    LogFile file{LogFile::Configuration()};
    const auto path = file.fileURL();
    if (options.flag("path")) {
        print(environment.out, path.string());
        return;
    }
    if (options.flag("reveal")) {
        const auto folder = path.parent_path();
        environment.services.openFolder(folder);
        print(environment.out, "Opened " + folder.string());
        return;
    }
    const std::string text = file.tail(logLineCount(options));
    if (Text::trimWhitespace(text).empty()) {
        print(environment.out, "No logs yet at " + path.string());
        print(environment.out, "Run the agent, then check again.");
        return;
    }
    print(environment.out, text);
}

} // namespace varnel::CLI

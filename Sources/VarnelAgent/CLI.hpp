#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace varnel::CLI {

// The options after the command word: "--name value" pairs and "--name" flags.
struct Options {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;

    explicit Options(const std::vector<std::string>& args);
};

void usage();

// Runs the command line and gives the process's exit status.
int main(int argc, char** argv);

} // namespace varnel::CLI

#pragma once

#include <fstream>
#include <string>

namespace varnel::testing {

// A line of a /proc/<pid>/status file in KiB ("VmRSS:" what is resident now, "VmHWM:" its peak,
// "VmSize:" the address space taken), or 0 when the file or the line is missing (the process
// ended).
inline long statusKiB(const std::string& statusFile, const std::string& key) {
    std::ifstream file(statusFile);
    std::string line;
    while (std::getline(file, line)) {
        if (line.starts_with(key))
            return std::stol(line.substr(key.size()));
    }
    return 0;
}

} // namespace varnel::testing

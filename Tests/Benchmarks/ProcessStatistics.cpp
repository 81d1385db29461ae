#include "ProcessStatistics.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>
#include <string_view>

namespace varnel::testing {

namespace {

std::string readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The value of a "Name:   value kB" line of a /proc status file, or -1.
long procField(const std::string& text, std::string_view name) {
    std::size_t at = 0;
    while (at < text.size()) {
        const auto end = std::min(text.find('\n', at), text.size());
        const std::string_view line(text.data() + at, end - at);
        if (line.starts_with(name) && line.size() > name.size() && line[name.size()] == ':') {
            auto rest = line.substr(name.size() + 1);
            while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
                rest.remove_prefix(1);
            long value = -1;
            std::from_chars(rest.data(), rest.data() + rest.size(), value);
            return value;
        }
        at = end + 1;
    }
    return -1;
}

} // namespace

std::filesystem::path ProcessStatistics::proc() const {
    return "/proc/" + std::to_string(pid_);
}

double ProcessStatistics::cpuSeconds() const {
    clockid_t clock{};
    timespec used{};
    if (::clock_getcpuclockid(pid_, &clock) != 0 || ::clock_gettime(clock, &used) != 0)
        return 0;
    return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

ProcessTimes ProcessStatistics::times() const {
    // The fields after the command's closing parenthesis, the state first: state ppid pgrp session
    // tty tpgid flags minflt cminflt majflt cmajflt utime stime.
    const auto text = readWholeFile(proc() / "stat");
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return {};
    std::istringstream fields(text.substr(close + 2));
    std::vector<std::string> field{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
    if (field.size() < 13)
        return {};
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    return {std::stod(field[11]) / tick, std::stod(field[12]) / tick, std::stol(field[7])};
}

std::map<pid_t, long long> ProcessStatistics::threadCpuNanoseconds() const {
    std::map<pid_t, long long> threads;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(proc() / "task", error)) {
        // schedstat: time on the CPU (ns), time waiting to run (ns), slices.
        const auto text = readWholeFile(task.path() / "schedstat");
        long long onCpu = -1;
        std::from_chars(text.data(), text.data() + text.size(), onCpu);
        if (onCpu >= 0)
            threads[std::stoi(task.path().filename().string())] = onCpu;
    }
    return threads;
}

std::map<pid_t, std::string> ProcessStatistics::threadWaits() const {
    std::map<pid_t, std::string> waits;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(proc() / "task", error))
        waits[std::stoi(task.path().filename().string())] = readWholeFile(task.path() / "wchan");
    return waits;
}

ProcessMemory ProcessStatistics::memory() const {
    const auto status = readWholeFile(proc() / "status");
    const auto rollup = readWholeFile(proc() / "smaps_rollup");
    return {procField(status, "VmRSS"),
            procField(status, "VmHWM"),
            procField(status, "RssAnon"),
            procField(status, "RssFile"),
            procField(rollup, "Pss"),
            procField(rollup, "Private_Clean") + procField(rollup, "Private_Dirty")};
}

std::vector<std::pair<long, std::string>> ProcessStatistics::residentFiles() const {
    std::map<std::string, long> byFile;
    std::ifstream smaps(proc() / "smaps");
    std::string file;
    for (std::string line; std::getline(smaps, line);) {
        const bool mapping = !line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
                             line.find('-') < line.find(' ');
        if (mapping) {
            // "start-end perms offset dev inode   path"
            std::size_t field = 0, at = 0;
            while (field < 5 && at != std::string::npos) {
                at = line.find_first_not_of(' ', line.find(' ', at));
                ++field;
            }
            file = at == std::string::npos ? std::string() : line.substr(at);
        } else if (line.starts_with("Rss:") && file.starts_with("/")) {
            byFile[file] += procField(line, "Rss");
        }
    }
    std::vector<std::pair<long, std::string>> files;
    for (const auto& [path, kib] : byFile)
        files.emplace_back(kib, std::filesystem::path(path).filename().string());
    std::sort(files.rbegin(), files.rend());
    return files;
}

long ProcessStatistics::switches() {
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(proc() / "task", error)) {
        const auto status = readWholeFile(task.path() / "status");
        const long voluntary = procField(status, "voluntary_ctxt_switches");
        const long involuntary = procField(status, "nonvoluntary_ctxt_switches");
        if (voluntary < 0 || involuntary < 0)
            continue;
        const pid_t tid = std::stoi(task.path().filename().string());
        auto [entry, added] = threads_.try_emplace(tid);
        if (added)
            entry->second.first = switchesCounted_ ? 0 : voluntary + involuntary;
        entry->second.last = voluntary + involuntary;
    }
    switchesCounted_ = true;
    long total = 0;
    for (const auto& [tid, thread] : threads_)
        total += thread.last - thread.first;
    return total;
}

void ProcessStatistics::resetSwitches() {
    threads_.clear();
    switchesCounted_ = false;
    switches();
}

std::vector<long> ProcessStatistics::switchesByThread() const {
    std::vector<long> counts;
    for (const auto& [tid, thread] : threads_)
        counts.push_back(thread.last - thread.first);
    return counts;
}

} // namespace varnel::testing

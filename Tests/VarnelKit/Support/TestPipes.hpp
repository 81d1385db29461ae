// A pipe, a reader that waits before it reads, and a way to fill a pipe up: what the tests of the
// log's echo stand in for a paused pager with.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace varnel::testing {

class Pipe {
public:
    Pipe() {
        if (::pipe2(fds_, O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    ~Pipe() {
        closeReadEnd();
        closeWriteEnd();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int readEnd() const { return fds_[0]; }
    int writeEnd() const { return fds_[1]; }
    void closeReadEnd() { closeEnd(0); }
    void closeWriteEnd() { closeEnd(1); }

private:
    void closeEnd(int which) {
        if (fds_[which] >= 0)
            ::close(fds_[which]);
        fds_[which] = -1;
    }
    int fds_[2] = {-1, -1};
};

// Puts `descriptor` in place of standard output until destroyed; the test checks its results only
// afterwards, since a failure printed meanwhile would go into the pipe.
class StdoutRedirect {
public:
    explicit StdoutRedirect(int descriptor) : saved_(::dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        ::dup2(descriptor, STDOUT_FILENO);
    }
    ~StdoutRedirect() { restore(); }
    StdoutRedirect(const StdoutRedirect&) = delete;
    StdoutRedirect& operator=(const StdoutRedirect&) = delete;

    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }

private:
    int saved_;
};

// Reads `descriptor` until its end or an error, handing each piece read to `take` as it comes.
template <class Take> void readToTheEnd(int descriptor, Take take) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(descriptor, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        take(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
}

// A reader that does not read until it is told to, or for at most `patience`, so a logger that
// does block makes the test fail instead of hanging it. Reads to the end of the pipe.
class PausedReader {
public:
    explicit PausedReader(int descriptor, std::chrono::steady_clock::duration patience = std::chrono::seconds(1))
        : thread_([this, descriptor, patience] {
              {
                  std::unique_lock lock(mutex_);
                  wake_.wait_for(lock, patience, [this] { return go_; });
              }
              readToTheEnd(descriptor, [this](std::string_view piece) {
                  {
                      std::lock_guard lock(mutex_);
                      text_.append(piece);
                  }
                  wake_.notify_all();
              });
          }) {}
    ~PausedReader() {
        if (thread_.joinable()) {
            start();
            thread_.join();
        }
    }
    PausedReader(const PausedReader&) = delete;
    PausedReader& operator=(const PausedReader&) = delete;

    void start() {
        {
            std::lock_guard lock(mutex_);
            go_ = true;
        }
        wake_.notify_all();
    }
    // Waits until what was read so far ends with `ending`, or for `limit`; whether it did.
    bool waitForEnding(std::string_view ending, std::chrono::steady_clock::duration limit) {
        std::unique_lock lock(mutex_);
        return wake_.wait_for(lock, limit, [&] { return std::string_view(text_).ends_with(ending); });
    }
    // Everything read, once every write end of the pipe is closed.
    std::string finish() {
        start();
        thread_.join();
        return text_;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool go_ = false;
    std::string text_;
    std::thread thread_; // last: started once the rest is ready
};

inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Fills the pipe's buffer, so that the next write to it waits for the reader.
inline void fillUp(int descriptor) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK);
    const std::string filler = std::string(99, '.') + '\n';
    while (::write(descriptor, filler.data(), filler.size()) > 0) {
    }
    // Writes up to the pipe's atomic size go in whole or not at all: top up what is left.
    while (::write(descriptor, "\n", 1) > 0) {
    }
    ::fcntl(descriptor, F_SETFL, flags);
}

inline std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Polls until `condition` holds or `limit` has passed; whether it held.
template <class Condition> bool waitUntil(std::chrono::steady_clock::duration limit, Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace varnel::testing

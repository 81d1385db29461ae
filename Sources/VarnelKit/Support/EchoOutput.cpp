#include "VarnelKit/Support/EchoOutput.hpp"

#include "VarnelKit/Support/Iso8601.hpp"
#include "VarnelKit/Support/LogFile.hpp"
#include "VarnelKit/Support/WriteAll.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <utility>

namespace varnel {

struct EchoOutput::State {
    State(int descriptor, std::size_t capacity) : descriptor(descriptor), capacity(capacity) {}

    const int descriptor;
    const std::size_t capacity;
    std::mutex mutex;
    std::condition_variable wake;     // the thread: a line came, or the end
    std::condition_variable progress; // flushFor: a line went out
    std::deque<std::string> queue;
    std::uint64_t refused = 0;  // lines dropped since the last one accepted
    std::uint64_t accepted = 0; // lines ever queued
    std::uint64_t finished = 0; // lines ever written or lost to a failed write
    bool stopping = false;
    bool abandoned = false; // the echo is gone: write nothing more

    // Runs on the echo's own thread.
    void run() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

        for (;;) {
            std::string text;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stopping || !queue.empty(); });
                if (abandoned || queue.empty())
                    return;
                text = std::move(queue.front());
                queue.pop_front();
            }
            // The program's own output may still sit in stdio's buffer; letting it out first
            // keeps it near the log lines it was printed among.
            if (descriptor == STDOUT_FILENO)
                std::fflush(stdout);
            // A closed pipe: this line is lost.
            (void)writeAll(descriptor, text);
            {
                std::lock_guard lock(mutex);
                ++finished;
            }
            progress.notify_all();
        }
    }
};

EchoOutput::EchoOutput(int descriptor, std::size_t capacity)
    : state_(std::make_shared<State>(descriptor, capacity)),
      thread_([state = state_] { state->run(); }) {}

EchoOutput::~EchoOutput() {
    const bool drained = flushFor(closingLimit);
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->abandoned = !drained;
    }
    state_->wake.notify_one();
    if (drained) {
        thread_.join();
    } else {
        // It waits in a write for a reader that does not read; it ends by itself once that write
        // does, and the state it holds goes with it.
        thread_.detach();
    }
}

bool EchoOutput::line(Clock::time_point at, std::string_view level, std::string_view text) {
    std::string formatted = Iso8601::wholeSeconds(at);
    formatted += " [";
    formatted += level;
    formatted += "] ";
    formatted += text;
    formatted += '\n';
    return enqueue(std::move(formatted), at);
}

bool EchoOutput::print(std::string_view text) {
    std::string formatted(text);
    formatted += '\n';
    return enqueue(std::move(formatted), Clock::now());
}

bool EchoOutput::enqueue(std::string text, Clock::time_point noticeAt) {
    State& state = *state_;
    {
        std::lock_guard lock(state.mutex);
        if (state.queue.size() >= state.capacity) {
            ++state.refused;
            return false;
        }
        // Taken under the lock, so every dropped line is counted before exactly one that got
        // through. The notice is stamped like that line: the loss happened just before it.
        if (const std::uint64_t dropped = std::exchange(state.refused, 0); dropped > 0) {
            std::string notice = Iso8601::wholeSeconds(noticeAt);
            notice += " [";
            notice += LogFile::droppedNoticeLevel;
            notice += "] ";
            notice += LogFile::droppedNotice(dropped);
            notice += '\n';
            text.insert(0, notice);
        }
        state.queue.push_back(std::move(text));
        ++state.accepted;
    }
    state.wake.notify_one();
    return true;
}

bool EchoOutput::flushFor(Duration limit) {
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    const std::uint64_t target = state.accepted;
    return state.progress.wait_for(lock, limit, [&] { return state.finished >= target; });
}

} // namespace varnel

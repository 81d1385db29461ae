#include "SlowNameLookup.hpp"

#include <atomic>
#include <charconv>
#include <condition_variable>
#include <dlfcn.h>
#include <mutex>
#include <netdb.h>
#include <string_view>
#include <thread>

namespace varnel::testing {

namespace {

std::atomic<int> finished{0};

struct StartedLookups {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
};

// Never destroyed: a lookup on a thread that outlives its test (libcurl's resolver, a detached
// one) may begin while the program exits.
StartedLookups& startedLookups() {
    static auto* const lookups = new StartedLookups;
    return *lookups;
}

using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

Lookup systemLookup() {
    static const auto next = reinterpret_cast<Lookup>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return next;
}

} // namespace

std::string slowHostName(std::chrono::milliseconds delay, bool answersLoopback) {
    return std::to_string(delay.count()) + (answersLoopback ? ".loopback" : "") + ".slow.test";
}

int finishedSlowLookups() { return finished.load(); }

int startedSlowLookups() {
    auto& started = startedLookups();
    std::lock_guard lock(started.mutex);
    return started.count;
}

bool waitForStartedSlowLookups(int count, std::chrono::milliseconds limit) {
    auto& started = startedLookups();
    std::unique_lock lock(started.mutex);
    return started.changed.wait_for(lock, limit, [&] { return started.count >= count; });
}

} // namespace varnel::testing

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
    using namespace varnel::testing;
    constexpr std::string_view domain = ".slow.test";
    const std::string_view name = node ? node : "";
    if (name.size() <= domain.size() || !name.ends_with(domain)) return systemLookup()(node, service, hints, result);

    auto& started = startedLookups();
    {
        std::lock_guard lock(started.mutex);
        ++started.count;
    }
    started.changed.notify_all();
    long milliseconds = 5000;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), milliseconds);
    if (error != std::errc() || *end != '.') milliseconds = 5000;
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    const bool loopback = name.ends_with(".loopback.slow.test") && error == std::errc();
    const int status = loopback ? systemLookup()("127.0.0.1", service, hints, result) : EAI_NONAME;
    finished.fetch_add(1);
    return status;
}

// A start of the tray reduced to its way in: the single-instance lock taken as the program's main()
// takes it (the lock, else a hand-over to the running copy, else a wait for a copy that is quitting),
// then held for a while, with every holder counted in a tally that all starts share. Tests and
// the lock's measurements start many at once and read the most holders there ever were.
//
//   SingleInstanceProbe <lock file> <tally file or -> <hold ms, or "until-killed">
//
// It starts once its standard input has closed, so that a caller can let many go at one moment, and
// says "waiting" before it waits for a holder and "holding" once it holds the lock.
// Exit status 0 once it held the lock, 1 when it found another holder, 2 on a wrong call; a lock
// that cannot be taken ends it as an uncaught exception does.
#include "VarnelKit/Agent/InstanceLock.hpp"
#include "VarnelMenuBar/QuitBudget.hpp"
#include "VarnelMenuBar/SingleInstance.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// The tally file's first bytes, shared by every probe that maps it.
struct Tally {
    std::atomic<int> holders;
    std::atomic<int> most;
    std::atomic<int> held;
    std::atomic<int> waiting;
};

Tally* mapTally(const char* path) {
    if (std::string(path) == "-")
        return nullptr;
    const int file = ::open(path, O_RDWR | O_CLOEXEC);
    if (file < 0)
        return nullptr;
    void* shared = ::mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    ::close(file);
    return shared == MAP_FAILED ? nullptr : static_cast<Tally*>(shared);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    const std::filesystem::path lockFile = argv[1];
    Tally* tally = mapTally(argv[2]);
    if (std::string(argv[2]) != "-" && !tally)
        return 2;
    const bool untilKilled = std::string(argv[3]) == "until-killed";
    const auto hold = std::chrono::milliseconds(untilKilled ? 0 : std::atoi(argv[3]));

    char gate = 0;
    while (::read(STDIN_FILENO, &gate, 1) > 0) {
    }

    varnel::InstanceLock instance(lockFile);
    bool runs = instance.acquire(0ms);
    if (!runs && !varnel::SingleInstance::handOver(lockFile, 1000ms)) {
        if (tally)
            ++tally->waiting;
        std::fputs("waiting\n", stdout);
        std::fflush(stdout);
        runs = instance.acquire(varnel::QuitBudget::total + 1000ms);
    }
    if (!runs)
        return 1;
    if (tally) {
        const int now = ++tally->holders;
        int most = tally->most.load();
        while (now > most && !tally->most.compare_exchange_weak(most, now)) {
        }
        ++tally->held;
    }
    std::fputs("holding\n", stdout);
    std::fflush(stdout);
    if (untilKilled) {
        for (;;)
            ::pause();
    }
    std::this_thread::sleep_for(hold);
    if (tally)
        --tally->holders;
    instance.release();
    return 0;
}

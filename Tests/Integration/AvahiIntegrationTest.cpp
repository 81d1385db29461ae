// Resolving a Bonjour printer through a real mDNS daemon. The daemon runs in a network namespace of
// the test's own, on a private D-Bus, so that no multicast leaves the sandbox.
#include "CupsScheduler.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Transport/BonjourResolver.hpp"
#include "VarnelKit/Transport/LoopFixture.hpp"
#include "VarnelKit/Transport/ReachabilityProbe.hpp"

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <signal.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace varnel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class Process {
public:
    Process(const std::vector<std::string>& arguments, const std::string& output)
        : pid_(integration::spawnProgram(arguments, output)) {}
    ~Process() { stop(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        integration::waitForProgram(pid_);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

std::string contents(const std::string& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), {});
}

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

class AvahiIntegrationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/varnel-avahi-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        folder = pattern;
        ::chmod(folder.c_str(), 0755);
        namespaceName = "varnel-av-" + std::to_string(::getpid());
        const auto log = folder + "/setup.log";

        std::ofstream(folder + "/bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>system</type><listen>unix:path="
            << folder
            << "/bus</listen><auth>EXTERNAL</auth>"
               "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/><allow "
               "send_destination=\"*\"/>"
               "<allow receive_sender=\"*\"/></policy></busconfig>\n";
        std::ofstream(folder + "/avahi.conf") << "[server]\nhost-name=varnel-test\nuse-ipv4=yes\nuse-ipv6=no\n"
                                                 "allow-interfaces=avt0\nenable-dbus=yes\nratelimit-burst=1000\n"
                                                 "[wide-area]\nenable-wide-area=no\n"
                                                 "[publish]\npublish-workstation=no\npublish-hinfo=no\n";

        const auto& ns = namespaceName;
        ASSERT_EQ(integration::runProgram({"ip", "netns", "add", ns}), 0);
        namespaceMade = true;
        ASSERT_EQ(integration::runProgram(
                      {"ip", "netns", "exec", ns, "ip", "link", "add", "avt0", "type", "veth", "peer", "name", "avt1"}),
                  0);
        ASSERT_EQ(
            integration::runProgram({"ip", "netns", "exec", ns, "ip", "addr", "add", "198.18.0.1/24", "dev", "avt0"}),
            0);
        for (const char* link : {"avt0", "avt1", "lo"}) {
            ASSERT_EQ(integration::runProgram({"ip", "netns", "exec", ns, "ip", "link", "set", link, "up"}), 0);
        }

        bus = std::make_unique<Process>(
            std::vector<std::string>{"dbus-daemon", "--config-file=" + folder + "/bus.conf", "--nofork", "--nopidfile"},
            log);
        ASSERT_TRUE(waitFor([] { return fs::exists(folder + "/bus"); }, 10s)) << contents(log);
        busAddress = "unix:path=" + folder + "/bus";
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);

        // A private /run keeps the daemon's pid file and socket away from any other daemon.
        daemon = std::make_unique<Process>(
            std::vector<std::string>{"ip", "netns", "exec", ns, "unshare", "--mount", "--propagation", "private", "sh",
                                     "-c",
                                     "mount -t tmpfs tmpfs /run && exec avahi-daemon -f " + folder +
                                         "/avahi.conf --no-drop-root --no-chroot --no-rlimits --no-proc-title"},
            folder + "/avahi.log");
        ASSERT_TRUE(waitFor(
            [] { return contents(folder + "/avahi.log").find("Server startup complete") != std::string::npos; }, 15s))
            << contents(folder + "/avahi.log");

        publisher = std::make_unique<Process>(
            std::vector<std::string>{"avahi-publish", "-s", "Front Desk", "_ipp._tcp", "631"}, folder + "/publish.log");
        ASSERT_TRUE(
            waitFor([] { return contents(folder + "/publish.log").find("Established") != std::string::npos; }, 15s))
            << contents(folder + "/publish.log") << contents(folder + "/avahi.log");
    }

    static void TearDownTestSuite() {
        publisher.reset();
        daemon.reset();
        bus.reset();
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        if (namespaceMade) integration::runProgram({"ip", "netns", "del", namespaceName});
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    testing::LoopFixture loop;

    static inline std::string folder;
    static inline std::string namespaceName;
    static inline std::string busAddress;
    static inline bool namespaceMade = false;
    static inline std::unique_ptr<Process> bus;
    static inline std::unique_ptr<Process> daemon;
    static inline std::unique_ptr<Process> publisher;
};

TEST_F(AvahiIntegrationTest, ResolvesAnAdvertisedPrinter) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(loop.run(BonjourResolver::resolves("Front Desk", 1s))) << contents(folder + "/avahi.log");
    // Not found under "_ipps._tcp." first: that attempt ends at its deadline, then "_ipp._tcp." answers.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_TRUE(loop.run(systemServiceResolver()->resolve("Front Desk", "_ipp._tcp.", 1s)));
}

TEST_F(AvahiIntegrationTest, AnUnadvertisedNameIsNotFound) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.run(BonjourResolver::resolves("Back Office", 300ms)));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, 6s); // four attempts of at most 0.8 s each, plus the set-up of each
}

Awaitable<void> resolveUntilStopped(std::atomic<bool>* waiting, std::atomic<int>* outcome) {
    *waiting = true;
    try {
        *outcome = (co_await systemServiceResolver()->resolve("Back Office", "_ipp._tcp.", 5s)) ? 1 : 0;
    } catch (const OperationCancelled&) {
        *outcome = 2;
    }
}

// A stop while the daemon has not answered yet is a stop, not a printer gone missing, and it does
// not wait out the resolve's time limit.
TEST_F(AvahiIntegrationTest, ACancelledResolveEndsAtOnceAsACancellation) {
    std::atomic<bool> waiting{false};
    std::atomic<int> outcome{-1};
    auto task = Task::spawn(loop.loop().executor(), [&] { return resolveUntilStopped(&waiting, &outcome); });
    while (!waiting)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    task->cancel();
    loop.run(task->join());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(outcome.load(), 2);
}

// A quit during the resolve: the loop goes away while the daemon's poll thread is still running.
TEST_F(AvahiIntegrationTest, TheLoopMayGoAwayDuringAResolve) {
    std::atomic<bool> waiting{false};
    std::atomic<int> outcome{-1};
    auto quitting = std::make_unique<AgentLoop>();
    quitting->startThread();
    boost::asio::co_spawn(quitting->executor(), resolveUntilStopped(&waiting, &outcome),
                          boost::asio::detached);
    while (!waiting)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    quitting.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(outcome.load(), -1);
}

TEST_F(AvahiIntegrationTest, AQueueOfAnAdvertisedPrinterIsOnline) {
    ASSERT_EQ(integration::runProgram({"lpadmin", "-p", "FrontDesk", "-E", "-v",
                                       "dnssd://Front%20Desk._ipp._tcp.local./?uuid=1234", "-m", "raw"}),
              0);
    ASSERT_EQ(integration::runProgram(
                  {"lpadmin", "-p", "BackOffice", "-E", "-v", "dnssd://Back%20Office._ipp._tcp.local./", "-m", "raw"}),
              0);
    const ReachabilityProbe probe(300ms);
    EXPECT_EQ(loop.run(probe.probeQueue("FrontDesk", "Front Desk")).status, "online");
    EXPECT_EQ(loop.run(probe.probeQueue("BackOffice", "Back Office")),
              (ReachabilityProbe::Result{"offline", "Not advertising on the network"}));
    integration::runProgram({"lpadmin", "-x", "FrontDesk"});
    integration::runProgram({"lpadmin", "-x", "BackOffice"});
}

} // namespace
} // namespace varnel

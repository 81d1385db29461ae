// A printer named by a host name whose lookup never gets an answer. The test makes a network
// namespace of its own in which the system's name-server addresses belong to the namespace itself,
// served by a socket that reads nothing and answers nothing; the transport runs on a loop whose
// threads live in that namespace. No query leaves the namespace.
#include "CupsScheduler.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/TestSupport.hpp"
#include "VarnelKit/Transport/LoopFixture.hpp"
#include "VarnelKit/Transport/LoopbackListener.hpp"
#include "VarnelKit/Transport/NetworkPrinterTransport.hpp"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class SlowNameLookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = "varnel-dns-" + std::to_string(::getpid());
        ASSERT_EQ(integration::runProgram({"ip", "netns", "add", name_}), 0);
        made_ = true;
        std::vector<std::vector<std::string>> steps = {{"ip", "link", "set", "lo", "up"}};
        std::ifstream resolvConf("/etc/resolv.conf");
        for (std::string line; std::getline(resolvConf, line);) {
            std::istringstream words(line);
            std::string keyword, address;
            if (!(words >> keyword >> address) || keyword != "nameserver") continue;
            const bool v6 = address.find(':') != std::string::npos;
            steps.push_back(v6 ? std::vector<std::string>{"ip", "-6", "addr", "add", address + "/128", "dev", "lo"}
                               : std::vector<std::string>{"ip", "addr", "add", address + "/32", "dev", "lo"});
        }
        for (const auto& step : steps) {
            std::vector<std::string> command = {"ip", "netns", "exec", name_};
            command.insert(command.end(), step.begin(), step.end());
            // An address that lo already has (127.0.0.1) is no failure.
            integration::runProgram(command);
        }
    }
    void TearDown() override {
        if (made_) integration::runProgram({"ip", "netns", "del", name_});
    }

    // Runs `body` on a thread inside the namespace; the loop it builds starts its threads there.
    void insideNamespace(const std::function<void()>& body) {
        std::thread thread([&] {
            const int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::setns(fd, CLONE_NEWNET), 0);
            ::close(fd);
            // The silent name server: takes every query on port 53, IPv4 and IPv6, and never answers.
            const int silent = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ASSERT_GE(silent, 0);
            const int both = 0;
            ::setsockopt(silent, IPPROTO_IPV6, IPV6_V6ONLY, &both, sizeof both);
            sockaddr_in6 any{};
            any.sin6_family = AF_INET6;
            any.sin6_port = htons(53);
            any.sin6_addr = in6addr_any;
            ASSERT_EQ(::bind(silent, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
            body();
            ::close(silent);
        });
        thread.join();
    }

    std::string name_;
    bool made_ = false;
};

TEST_F(SlowNameLookupTest, AnUnansweredLookupEndsAtTheConnectTimeout) {
    // Short resolver waits keep the lookup that is left behind from holding up the loop's end.
    const testing::ScopedEnvironment resolverOptions("RES_OPTIONS", "timeout:2 attempts:1");
    insideNamespace([] {
        testing::LoopFixture loop;
        NetworkPrinterTransport transport("varnel-printer.example", 9100, 300ms, 1s);

        auto start = Clock::now();
        EXPECT_FALSE(loop.run(transport.probe()));
        EXPECT_LT(Clock::now() - start, 1500ms);

        start = Clock::now();
        const auto failure =
            testing::thrownBy<JobError>(loop.loop(), transport.write(bytesOf("^XA^XZ"), "t"));
        if (failure) {
            EXPECT_EQ(failure->code, JobErrorCode::printerUnreachable);
            EXPECT_EQ(failure->description(),
                      "Connect timed out after 0.3 seconds to varnel-printer.example:9100");
        }
        EXPECT_LT(Clock::now() - start, 1500ms);
    });
}

TEST_F(SlowNameLookupTest, AnUnansweredLookupHoldsUpNoOtherPrinter) {
    const testing::ScopedEnvironment resolverOptions("RES_OPTIONS", "timeout:2 attempts:1");
    insideNamespace([] {
        testing::LoopFixture loop;
        testing::LoopbackListener listener;
        NetworkPrinterTransport unanswered("varnel-printer.example", 9100, 300ms, 1s);
        NetworkPrinterTransport local("localhost", listener.port(), 300ms, 1s);
        EXPECT_FALSE(loop.run(unanswered.probe()));

        // The first lookup still waits for the name server; this one is answered from the hosts file.
        const auto start = Clock::now();
        EXPECT_TRUE(loop.run(local.probe()));
        EXPECT_LT(Clock::now() - start, 250ms);
    });
}

} // namespace
} // namespace varnel

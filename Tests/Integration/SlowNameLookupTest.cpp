// A printer named by a host name whose lookup never gets an answer. The test makes a network
// namespace whose only way out is a link where nobody answers, so the name server stays silent;
// the transport runs on a loop whose threads live in that namespace.
#include "CupsScheduler.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Transport/LoopFixture.hpp"
#include "VarnelKit/Transport/NetworkPrinterTransport.hpp"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
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
        const std::vector<std::vector<std::string>> steps = {
            {"ip", "link", "set", "lo", "up"},
            {"ip", "link", "add", "vdn0", "type", "veth", "peer", "name", "vdn1"},
            {"ip", "addr", "add", "198.18.7.1/24", "dev", "vdn0"},
            {"ip", "link", "set", "vdn0", "up"},
            {"ip", "link", "set", "vdn1", "up"},
            // Every address is "on the link", where nothing answers: queries to the name server vanish.
            {"ip", "route", "add", "default", "dev", "vdn0"},
        };
        for (const auto& step : steps) {
            std::vector<std::string> command = {"ip", "netns", "exec", name_};
            command.insert(command.end(), step.begin(), step.end());
            ASSERT_EQ(integration::runProgram(command), 0);
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
            body();
        });
        thread.join();
    }

    std::string name_;
    bool made_ = false;
};

TEST_F(SlowNameLookupTest, AnUnansweredLookupEndsAtTheConnectTimeout) {
    // Short resolver waits keep the lookup that is left behind from holding up the loop's end.
    ::setenv("RES_OPTIONS", "timeout:2 attempts:1", 1);
    insideNamespace([] {
        testing::LoopFixture loop;
        NetworkPrinterTransport transport("varnel-printer.example", 9100, 300ms, 1s);

        auto start = Clock::now();
        EXPECT_FALSE(loop.run(transport.probe()));
        EXPECT_LT(Clock::now() - start, 1500ms);

        start = Clock::now();
        try {
            loop.run(transport.write(bytesOf("^XA^XZ"), "t"));
            ADD_FAILURE() << "expected a failure";
        } catch (const JobError& error) {
            EXPECT_EQ(error.code, JobErrorCode::printerUnreachable);
            // A name server on the loopback (a local caching resolver) says "not found" at once instead.
            const auto& text = error.description();
            EXPECT_TRUE(text == "Connect timed out after 0.3 seconds to varnel-printer.example:9100" ||
                        text.starts_with("varnel-printer.example:9100 \xE2\x80\x94 "))
                << text;
        }
        EXPECT_LT(Clock::now() - start, 1500ms);
    });
    ::unsetenv("RES_OPTIONS");
}

} // namespace
} // namespace varnel

#include "VarnelKit/Support/AgentLogger.hpp"
#include "VarnelKit/Support/MachineIdentity.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Support/ResumeOnce.hpp"

#include "TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace varnel {
namespace {

TEST(RecordingLogger, RecordsLevelAndMessage) {
    RecordingLogger logger;
    EXPECT_FALSE(logger.contains(""));
    logger.info("a");
    logger.error("b");
    EXPECT_EQ(logger.messages(), (std::vector<std::string>{"[INFO] a", "[ERROR] b"}));
    EXPECT_TRUE(logger.contains("] b"));
    EXPECT_FALSE(logger.contains("A"));
}

TEST(RecordingLogger, ManyThreadsLoseAndInterleaveNothing) {
    RecordingLogger logger;
    constexpr int threads = 8, perThread = 400;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&logger, t] {
            for (int i = 0; i < perThread; ++i) logger.debug("thread " + std::to_string(t) + " line " + std::to_string(i));
        });
    }
    for (auto& w : workers) w.join();
    const auto lines = logger.messages();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * perThread));
    std::set<std::string> unique(lines.begin(), lines.end());
    EXPECT_EQ(unique.size(), lines.size());
    EXPECT_TRUE(unique.count("[DEBUG] thread 7 line 399"));
}

TEST(AgentLogger, WritesEveryLevelToTheFileAndEchoesWholeSeconds) {
    TemporaryDirectory tmp;
    auto file = std::make_shared<LogFile>(LogFile::Configuration(tmp.path(), "varnel.log", 1 << 20, 3));
    AgentLogger logger("com.varnel.agent", "agent", true, file);
    AgentLogger copy = logger; // copies share the file

    testing::internal::CaptureStdout();
    logger.debug("one");
    copy.info("two");
    logger.error("three");
    const std::string echoed = testing::internal::GetCapturedStdout();

    const std::string text = file->tail(4);
    EXPECT_NE(text.find(" [DEBUG] one\n"), std::string::npos);
    EXPECT_NE(text.find(" [INFO] two\n"), std::string::npos);
    EXPECT_NE(text.find(" [ERROR] three\n"), std::string::npos);
    // The echoed stamp has whole seconds: "2026-01-31T09:15:02Z [INFO] two".
    const auto at = echoed.find("Z [INFO] two\n");
    ASSERT_NE(at, std::string::npos) << echoed;
    EXPECT_EQ(echoed[at - 3], ':');
}

TEST(AgentLogger, WithoutEchoPrintsNothing) {
    AgentLogger logger("com.varnel.agent", "agent", false, nullptr);
    testing::internal::CaptureStdout();
    logger.info("quiet");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ResumeOnce, ExactlyOneOfManyThreadsClaims) {
    for (int round = 0; round < 50; ++round) {
        ResumeOnce gate;
        std::atomic<int> winners{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                while (!go.load()) std::this_thread::yield();
                if (gate.claim()) winners.fetch_add(1);
            });
        }
        go.store(true);
        for (auto& t : threads) t.join();
        EXPECT_EQ(winners.load(), 1);
        EXPECT_FALSE(gate.claim());
    }
}

TEST(MachineIdentity, OsVersionAlwaysHasThreeNumbers) {
    EXPECT_EQ(MachineIdentity::formatOsVersion("macOS", "14.5"), "macOS 14.5.0");
    EXPECT_EQ(MachineIdentity::formatOsVersion("Debian GNU/Linux", "12"), "Debian GNU/Linux 12.0.0");
    EXPECT_EQ(MachineIdentity::formatOsVersion("Linux", "6.1.0-18-amd64"), "Linux 6.1.0");
    EXPECT_EQ(MachineIdentity::formatOsVersion("Linux", "rolling"), "");
    const std::string live = MachineIdentity::osVersion();
    EXPECT_FALSE(live.empty());
    EXPECT_FALSE(MachineIdentity::hostname().empty());
    if (const auto uuid = MachineIdentity::platformUUID()) {
        EXPECT_EQ(uuid->size(), 36u);
        EXPECT_EQ(*uuid, MachineIdentity::platformUUID().value());
        EXPECT_EQ(uuid->find_first_of("abcdef"), std::string::npos);
    }
}

} // namespace
} // namespace varnel

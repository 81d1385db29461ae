#include "VarnelKit/SelfTest/TestHarness.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

namespace varnel {
namespace {

// Runs a harness with its report captured in memory.
struct Report {
    bool result = false;
    std::string text;
};

Report runCaptured(const TestHarness& harness) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    Report report;
    report.result = harness.run(out);
    std::fclose(out);
    report.text.assign(buffer, size);
    std::free(buffer);
    return report;
}

TEST(TestHarness, EmptyHarnessPassesWithZeroOfZero) {
    const auto report = runCaptured(TestHarness());
    EXPECT_TRUE(report.result);
    EXPECT_EQ(report.text, "\n0/0 tests passed\n");
}

TEST(TestHarness, ReportsPassesFailuresAndCountsAssertions) {
    TestHarness h;
    int failingLine = 0;
    h.test("Suite A", "passes", [](TestHarness::Context& c) { c.assertEqual(2 + 2, 4); });
    h.test("Suite A", "fails twice", [&failingLine](TestHarness::Context& c) {
        failingLine = __LINE__ + 1;
        c.assertEqual(3, 4);
        c.assertEqual(3, 4, "count");
    });
    h.test("Suite B", "nil", [](TestHarness::Context& c) {
        c.assertNil(std::optional<int>(5));
        c.assertNil(std::optional<int>());
    });
    h.test("Suite A", "again", [](TestHarness::Context& c) { c.assertTrue(true); });

    const auto report = runCaptured(h);
    EXPECT_FALSE(report.result);
    const std::string line = std::to_string(failingLine);
    EXPECT_EQ(report.text, "\nSuite A\n"
                           "  \xE2\x9C\x93 passes\n"
                           "  \xE2\x9C\x97 fails twice\n"
                           "      expected 4, got 3  (TestHarnessTest.cpp:" + line + ")\n"
                           "      expected 4, got 3 \xE2\x80\x94 count  (TestHarnessTest.cpp:" + std::to_string(failingLine + 1) + ")\n"
                           "\nSuite B\n"
                           "  \xE2\x9C\x97 nil\n"
                           "      expected nil (got 5)  (TestHarnessTest.cpp:" + std::to_string(failingLine + 4) + ")\n"
                           "\nSuite A\n"
                           "  \xE2\x9C\x93 again\n"
                           "\n2/4 passed, 3 assertion failure(s)\n");
}

TEST(TestHarness, DefaultMessagesOfEveryAssertion) {
    TestHarness h;
    h.test("", "defaults", [](TestHarness::Context& c) {
        c.assertTrue(false);
        c.assertFalse(true);
        c.assertNotNil(std::optional<std::string>());
        c.assertThrows([] {});
        c.assertNoThrow([] { throw std::runtime_error("boom"); });
        c.assertEqual(std::optional<std::string>("a"), std::optional<std::string>(), "");
        c.assertThrows("custom", [] {});
    });
    const auto report = runCaptured(h);
    // An empty first suite name prints no header.
    EXPECT_EQ(report.text.substr(0, 14), "  \xE2\x9C\x97 defaults");
    for (const char* message : {"      expected true  (", "      expected false  (", "      expected non-nil  (",
                                "      expected an error  (", "      unexpected error: boom  (",
                                "      expected nil, got a  (", "      custom  ("}) {
        EXPECT_NE(report.text.find(message), std::string::npos) << message;
    }
    EXPECT_NE(report.text.find("0/1 passed, 7 assertion failure(s)"), std::string::npos);
}

TEST(TestHarness, AnEscapingExceptionIsARecordedFailureAndTheRunGoesOn) {
    TestHarness h;
    h.test("S", "throws", [](TestHarness::Context&) { throw std::runtime_error("stray"); });
    h.test("S", "after", [](TestHarness::Context& c) { c.assertTrue(true); });
    const auto report = runCaptured(h);
    EXPECT_FALSE(report.result);
    EXPECT_NE(report.text.find("  \xE2\x9C\x97 throws\n      unexpected error: stray  (TestHarnessTest.cpp:"),
              std::string::npos);
    EXPECT_NE(report.text.find("  \xE2\x9C\x93 after\n"), std::string::npos);
    EXPECT_NE(report.text.find("1/2 passed, 1 assertion failure(s)"), std::string::npos);
}

TEST(TestHarness, AssertionsFromOtherThreadsAreAllKept) {
    TestHarness h;
    h.test("S", "threads", [](TestHarness::Context& c) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&c] {
                for (int i = 0; i < 50; ++i) c.assertTrue(false, "x");
            });
        }
        for (auto& t : threads) t.join();
    });
    const auto report = runCaptured(h);
    EXPECT_NE(report.text.find("0/1 passed, 400 assertion failure(s)"), std::string::npos);
}

TEST(TestHarness, AsyncAssertionsRunOnTheLoop) {
    TestHarness h;
    h.test("S", "async", [](TestHarness::Context& c) {
        c.assertNoThrowAsync([]() -> Awaitable<void> { co_await sleepFor(std::chrono::milliseconds(1)); });
        c.assertThrowsAsync([]() -> Awaitable<void> {
            co_await sleepFor(std::chrono::milliseconds(1));
            throw std::runtime_error("late");
        });
        c.assertEqual(c.await([]() -> Awaitable<int> { co_return 3; }()), 3);
    });
    EXPECT_TRUE(runCaptured(h).result);
}

// The report is flushed after each test, so a reader of a pipe sees it test by test.
TEST(TestHarness, FlushesAfterEachTest) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::FILE* out = fdopen(fds[1], "w");
    ASSERT_NE(out, nullptr);
    setvbuf(out, nullptr, _IOFBF, 1 << 16);
    std::string seenDuringSecond;
    TestHarness h;
    h.test("S", "first", [](TestHarness::Context&) {});
    h.test("S", "second", [&](TestHarness::Context&) {
        char buffer[256];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0) seenDuringSecond.assign(buffer, static_cast<std::size_t>(n));
    });
    h.run(out);
    std::fclose(out);
    close(fds[0]);
    EXPECT_EQ(seenDuringSecond, "\nS\n  \xE2\x9C\x93 first\n");
}

} // namespace
} // namespace varnel

#include "VarnelKit/Support/SerialWorker.hpp"

#include "VarnelKit/Support/Error.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace varnel {
namespace {

// Holds the worker inside one item until released, so the queue behind it can be filled exactly.
class Blocker {
public:
    // The worker holds its own end of both, so it never touches the Blocker once released.
    explicit Blocker(SerialWorker& worker) {
        auto started = std::make_shared<std::promise<void>>();
        auto running = started->get_future();
        worker.post([started, released = release_.get_future().share()] {
            started->set_value();
            released.wait();
        });
        running.wait();
    }
    void release() { release_.set_value(); }

private:
    std::promise<void> release_;
};

TEST(SerialWorker, OffersBeyondTheBoundAreRefusedAndToldToTheNextAcceptedItem) {
    SerialWorker worker(3);
    std::vector<std::string> ran;
    Blocker blocker(worker);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(worker.tryPost([&ran, i](std::uint64_t refused) {
            ran.push_back(std::to_string(i) + "/" + std::to_string(refused));
        }));
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(worker.tryPost([&ran](std::uint64_t) { ran.push_back("refused"); }));
    // post and sync are not bounded: they are how a flush or a tail gets through a full queue.
    worker.post([&ran] { ran.push_back("posted"); });
    blocker.release();
    worker.sync([] {});
    EXPECT_TRUE(
        worker.tryPost([&ran](std::uint64_t refused) { ran.push_back("after/" + std::to_string(refused)); }));
    EXPECT_TRUE(
        worker.tryPost([&ran](std::uint64_t refused) { ran.push_back("next/" + std::to_string(refused)); }));
    worker.sync([] {});
    EXPECT_EQ(ran, (std::vector<std::string>{"0/0", "1/0", "2/0", "posted", "after/4", "next/0"}));
    EXPECT_EQ(worker.capacity(), 3u);
}

TEST(SerialWorker, AThrowingItemIsReportedOnceAndTheWorkerGoesOn) {
    SerialWorker worker;
    int ran = 0;
    testing::internal::CaptureStderr();
    worker.post([] { throw Error("the disk went away"); });
    worker.post([] { throw std::runtime_error("second fault"); });
    worker.post([&ran] { ++ran; });
    EXPECT_TRUE(worker.tryPost([&ran](std::uint64_t) { throw std::logic_error("third fault"); }));
    worker.post([&ran] { ++ran; });
    worker.sync([] {});
    const std::string reported = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ran, 2);
    EXPECT_NE(reported.find("a background task failed and was skipped"), std::string::npos) << reported;
    EXPECT_NE(reported.find("the disk went away\n"), std::string::npos) << reported;
    EXPECT_EQ(reported.find("second fault"), std::string::npos) << reported;
    EXPECT_EQ(reported.find("third fault"), std::string::npos) << reported;
}

TEST(SerialWorker, SyncHandsWhatTheWorkThrowsToTheCaller) {
    SerialWorker worker;
    try {
        worker.sync([] { throw Error("no room left"); });
        ADD_FAILURE() << "expected an error";
    } catch (const Error& error) {
        EXPECT_EQ(error.description(), "no room left");
    }
    int ran = 0;
    worker.sync([&ran] { ++ran; });
    // Inline on the worker itself, the error still reaches the work that asked.
    bool caughtInside = false;
    worker.sync([&] {
        try {
            worker.sync([] { throw Error("inner"); });
        } catch (const Error&) {
            caughtInside = true;
        }
    });
    EXPECT_EQ(ran, 1);
    EXPECT_TRUE(caughtInside);
}

TEST(SerialWorker, FlushForIsBoundedByAnItemThatDoesNotEnd) {
    using namespace std::chrono_literals;
    using Clock = std::chrono::steady_clock;
    SerialWorker worker;
    Blocker blocker(worker);
    int ran = 0;
    worker.post([&ran] { ++ran; });
    const auto before = Clock::now();
    EXPECT_FALSE(worker.flushFor(100ms));
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 95ms);
    EXPECT_LT(took, 1s);
    blocker.release();
    EXPECT_TRUE(worker.flushFor(5s));
    EXPECT_EQ(ran, 1) << "true means everything queued before the call has run";
    // On the worker itself it cannot wait for what comes after it, and does not.
    bool inside = false;
    worker.sync([&] { inside = worker.flushFor(1h); });
    EXPECT_TRUE(inside);
}

TEST(SerialWorker, DestructionRunsEveryAcceptedItem) {
    std::vector<int> ran;
    {
        SerialWorker worker(100);
        Blocker blocker(worker);
        for (int i = 0; i < 100; ++i)
            EXPECT_TRUE(worker.tryPost([&ran, i](std::uint64_t) { ran.push_back(i); }));
        blocker.release();
    }
    ASSERT_EQ(ran.size(), 100u);
    EXPECT_EQ(ran.front(), 0);
    EXPECT_EQ(ran.back(), 99);
}

} // namespace
} // namespace varnel

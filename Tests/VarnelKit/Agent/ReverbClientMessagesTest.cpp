// What the real-time client makes of each frame, and the helpers that read frames.
#include "ProcessStatus.hpp"
#include "ReverbClientFixture.hpp"
#include "WideJson.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/HeapMemory.hpp"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

namespace varnel::testing {
namespace {

std::optional<std::int64_t> intOf(const json::Value& data, const char* key = "v") {
    return ReverbClient::nestedInt(&data, key);
}

TEST(ReverbClientHelpers, NestedIntAcceptsIntegersDecimalTextAndTruncatedFloats) {
    const std::vector<std::pair<json::Value, std::optional<std::int64_t>>> table = {
        {json::Value{{"v", 42}}, 42},
        {json::Value{{"v", "42"}}, 42},
        {json::Value{{"v", "+42"}}, 42},
        {json::Value{{"v", "-7"}}, -7},
        {json::Value{{"v", "007"}}, 7},
        {json::Value{{"v", 42.9}}, 42},
        {json::Value{{"v", -42.9}}, -42},
        {json::Value{{"v", "9223372036854775807"}}, INT64_MAX},
        {json::Value{{"v", "-9223372036854775808"}}, INT64_MIN},
        {json::Value{{"v", -9223372036854775807LL - 1}}, INT64_MIN},
        {json::Value{{"v", "4 2"}}, std::nullopt},
        {json::Value{{"v", "42abc"}}, std::nullopt},
        {json::Value{{"v", "+"}}, std::nullopt},
        {json::Value{{"v", ""}}, std::nullopt},
        {json::Value{{"v", " 42"}}, std::nullopt},
        {json::Value{{"v", "9223372036854775808"}}, std::nullopt},
        {json::Value{{"v", nullptr}}, std::nullopt},
        {json::Value{{"v", true}}, std::nullopt},
        {json::Value{{"v", json::Value::array({1})}}, std::nullopt},
        {json::Value{{"v", json::Value{{"x", 1}}}}, std::nullopt},
        {json::Value{{"v", 9223372036854775808ULL}}, std::nullopt},
        {json::Value{{"v", 9.3e18}}, std::nullopt},
        {json::Value{{"v", -9.3e18}}, std::nullopt},
        {json::Value{{"other", 1}}, std::nullopt},
        {json::Value("{\"v\":\"12\"}"), 12},
    };
    for (const auto& [data, expected] : table)
        EXPECT_EQ(intOf(data), expected) << data.dump();
    EXPECT_EQ(ReverbClient::nestedInt(nullptr, "v"), std::nullopt);
}

TEST(ReverbClientHelpers, NestedObjectAndStringUnwrapAStringOnce) {
    const json::Value object{{"socket_id", "1.2"}, {"n", 5}};
    EXPECT_EQ(ReverbClient::nestedObject(&object), object);
    const json::Value text = object.dump();
    EXPECT_EQ(ReverbClient::nestedObject(&text), object);
    const json::Value twice = text.dump(); // a JSON string holding the JSON text
    EXPECT_EQ(ReverbClient::nestedObject(&twice), std::nullopt);
    for (const json::Value& other :
         {json::Value("not json"), json::Value("[1,2]"), json::Value(3), json::Value()}) {
        EXPECT_EQ(ReverbClient::nestedObject(&other), std::nullopt) << other.dump();
    }
    EXPECT_EQ(ReverbClient::nestedString(&text, "socket_id"), std::optional<std::string>("1.2"));
    EXPECT_EQ(ReverbClient::nestedString(&object, "n"), std::nullopt) << "numbers are not converted";
    EXPECT_EQ(ReverbClient::nestedString(&object, "missing"), std::nullopt);
}

TEST(ReverbClientHelpers, SummariseMakesOneTrimmedLineCutOnCharacters) {
    EXPECT_EQ(ReverbClient::summarise("a\r\nb", 160), "a  b");
    EXPECT_EQ(ReverbClient::summarise(" \t\xC2\xA0 x y\t \xE3\x80\x80", 160), "x y")
        << "tabs and space separators";
    const std::string exact(160, 'x');
    EXPECT_EQ(ReverbClient::summarise(exact, 160), exact);
    EXPECT_EQ(ReverbClient::summarise(exact + "y", 160), exact + "\xE2\x80\xA6 (161 chars)");
    // "e" and a combining acute are one character: the cut keeps them together.
    const std::string accented = "e\xCC\x81";
    EXPECT_EQ(ReverbClient::summarise("ab" + accented + "cd", 3), "ab" + accented + "\xE2\x80\xA6 (5 chars)");
    EXPECT_EQ(ReverbClient::summarise("ok\xFF", 160), "ok\xEF\xBF\xBD")
        << "invalid UTF-8 never reaches the log";
}

TEST(ReverbClientHelpers, OnlyAPongIsAnAcknowledgement) {
    EXPECT_TRUE(ReverbClient::isAcknowledgement("pusher:pong"));
    for (const char* name : {"pusher:ping", "Pusher:pong", "pusher:pong ", "job.created", ""}) {
        EXPECT_FALSE(ReverbClient::isAcknowledgement(name)) << name;
    }
}

class ReverbClientFramesTest : public ReverbClientFixture {
protected:
    // A subscribed client; frames pushed afterwards are handled in order.
    void connect() {
        serveChannel();
        makeClient(instantOptions());
        start();
        ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 1; }));
    }
    void push(std::vector<std::string> frames) {
        onLoop([this, frames] {
            for (const auto& frame : frames)
                connector->last()->pushText(frame);
        });
    }
};

TEST_F(ReverbClientFramesTest, ApplicationEventsWithDataAsObjectOrString) {
    connect();
    push({
        R"({"event":"job.created","channel":"private-device.7","data":{"job_id":8814}})",
        R"({"event":"job.created","data":"{\"job_id\":\"8815\"}"})",
        R"({"event":"job.cancelled","data":{"job_id":12.7}})",
        R"({"event":"job.cancelled","data":"{\"job_id\":13}"})",
        R"({"event":"job.created","data":{"job_id":"x"}})",
        R"({"event":"job.created"})",
        R"({"event":"printers.rescan"})",
        R"({"event":"device.reconnect","data":"{\"after_ms\":2500}"})",
        R"({"event":"device.reconnect","data":{}})",
        R"({"event":"printers.rescan","data":"{}"})",
    });
    ASSERT_TRUE(waitFor([this] { return events.size() == 9; }));
    std::this_thread::sleep_for(20ms);
    onLoop([this] {
        ASSERT_EQ(events.size(), 9u) << "a job event without a usable id raises nothing";
        const std::vector<std::pair<Kind, std::int64_t>> expected = {
            {Kind::jobCreated, 8814},           {Kind::jobCreated, 8815},
            {Kind::jobCancelled, 12},           {Kind::jobCancelled, 13},
            {Kind::printersRescanRequested, 0}, {Kind::reconnectRequested, 2500},
            {Kind::reconnectRequested, 0},      {Kind::printersRescanRequested, 0},
        };
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const auto& event = events[i + 1];
            EXPECT_EQ(event.kind, expected[i].first) << i;
            const auto value = event.kind == Kind::reconnectRequested ? event.afterMilliseconds : event.jobId;
            EXPECT_EQ(value, expected[i].second) << i;
        }
    });
    EXPECT_EQ(linesWithoutConnecting().size(), 2u) << "ignored job events log nothing";
}

TEST_F(ReverbClientFramesTest, ProtocolFramesAndOddTextKeepTheConnectionUp) {
    connect();
    const std::string longJunk = std::string(300, 'z');
    push({
        R"({"event":"pusher:ping","data":{}})",
        R"({"event":"pusher:pong","data":{}})",
        R"({"event":"pusher:error"})",
        R"({"event":"pusher:error","data":{"message":"Over quota\nsoon","code":4004}})",
        R"({"event":"client-thing","data":{}})",
        "not json at all",
        R"(["event","x"])",
        R"({"event":5})",
        longJunk,
        // Markup that starts after the first 200 characters is not taken for a web page.
        std::string(200, ' ') + "<html>",
        R"({"event":"printers.rescan"})",
    });
    ASSERT_TRUE(waitFor([this] { return events.size() == 2; }));
    onLoop([this] {
        const auto& sent = connector->last()->sent;
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[1], R"({"event":"pusher:pong","data":{}})") << "one pong per ping";
        EXPECT_FALSE(connector->last()->isClosed());
    });
    auto lines = linesWithoutConnecting();
    lines.erase(lines.begin(), lines.begin() + 2);
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "[ERROR] Reverb error: unknown",
                  "[ERROR] Reverb error: Over quota soon",
                  "[DEBUG] Unhandled Reverb event: client-thing",
                  "[DEBUG] Ignoring unparseable frame: not json at all",
                  "[DEBUG] Ignoring unparseable frame: [\"event\",\"x\"]",
                  "[DEBUG] Ignoring unparseable frame: {\"event\":5}",
                  "[DEBUG] Ignoring unparseable frame: " + std::string(160, 'z') + "\xE2\x80\xA6 (300 chars)",
                  "[DEBUG] Ignoring unparseable frame: <html>",
              }));
    EXPECT_EQ(socketCount(), 1u);
}

// A frame beyond the reader's bounds (nested past its depth, or holding more values than it may
// build) is ignored with the reason, and the connection goes on with the next frame; so is a job
// event whose data is beyond them.
TEST_F(ReverbClientFramesTest, AFrameBeyondTheBoundsIsIgnoredAndTheNextIsHandled) {
    connect();
    const std::string wide = emptyObjects("[", 4u << 20, "]");
    push({
        std::string(1u << 20, '['),
        R"({"event":"job.created","data":")" + std::string(40, '[') + R"("})",
        wide,
        R"({"event":"job.created","data":")" + wide + R"("})",
        R"({"event":"job.created","data":{"job_id":5}})",
    });
    // Each wide text builds its values up to the bound before it is refused: about five seconds
    // under the address sanitizer on a quiet machine, and several times that beside other builds.
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::jobCreated) == 1; }, 90s));
    onLoop([this] {
        EXPECT_EQ(events.back().jobId, 5);
        EXPECT_FALSE(connector->last()->isClosed());
    });
    const std::string tooDeep = "JSON nested too deeply (more than 32 levels)";
    const std::string tooMany = "JSON holds too many values (more than 64 MiB of them in memory)";
    EXPECT_EQ(countLines("[DEBUG] Ignoring unparseable frame (" + tooDeep + "): " + std::string(160, '[') +
                         "\xE2\x80\xA6 (1048576 chars)"),
              1u)
        << ::testing::PrintToString(logger->messages());
    EXPECT_EQ(countLines("[DEBUG] Ignoring the data of job.created (" + tooDeep + ")"), 1u);
    EXPECT_EQ(countLines("[DEBUG] Ignoring unparseable frame (" + tooMany + "): " + wide.substr(0, 160) +
                         "\xE2\x80\xA6 (" + std::to_string(wide.size()) + " chars)"),
              1u);
    EXPECT_EQ(countLines("[DEBUG] Ignoring the data of job.created (" + tooMany + ")"), 1u);
    EXPECT_EQ(socketCount(), 1u);
}

std::string largeJobFrame(std::int64_t jobId) {
    return R"({"event":"job.created","data":{"job_id":)" + std::to_string(jobId) + R"(,"note":")" +
           std::string(8u << 20, 'A') + R"("}})";
}

// A frame of many megabytes is read while the loop goes on: work queued behind the frame's arrival
// runs before the frame is acted on. Frames are still acted on in the order they came.
TEST_F(ReverbClientFramesTest, ALargeFrameIsReadOffTheLoopAndFramesKeepTheirOrder) {
    connect();
    std::optional<std::size_t> jobsWhenTheLoopTurned;
    onLoop([&] {
        connector->last()->pushText(largeJobFrame(1));
        connector->last()->pushText(R"({"event":"job.created","data":{"job_id":2}})");
        boost::asio::post(loop.loop().executor(), [&] { jobsWhenTheLoopTurned = eventsOnLoop(Kind::jobCreated); });
    });
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::jobCreated) == 2; }));
    onLoop([&] {
        EXPECT_EQ(jobsWhenTheLoopTurned, std::optional<std::size_t>(0)) << "the loop stood still for the large frame";
        ASSERT_EQ(events.size(), 3u);
        EXPECT_EQ(events[1].jobId, 1);
        EXPECT_EQ(events[2].jobId, 2);
    });
}


// What reading a large frame freed on a pool thread goes back to the system, both the many small
// values of wide data and the long strings of a large one; each heap would keep it otherwise (ten
// wide frames once left 1.5 GB resident).
TEST_F(ReverbClientFramesTest, LargeFramesLeaveNoMemoryBehindOnceRead) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own allocator keeps memory in its own way";
#else
    HeapMemory::adopt(HeapMemory::programPolicy); // as the programs do when they start
    connect();
    const auto wideFrame = [] {
        return R"({"event":"job.created","data":")" + emptyObjects("[", 15u << 20, "]") + R"("})";
    };
    const auto longFrame = [](std::int64_t jobId) {
        return R"({"event":"job.created","data":{"job_id":)" + std::to_string(jobId) + R"(,"note":")" +
               std::string(15u << 20, 'A') + R"("}})";
    };
    const long before = statusKiB("/proc/self/status", "VmRSS:");
    for (std::int64_t i = 1; i <= 10; ++i) {
        // The wide frame raises nothing; the long one after it shows that both were dealt with.
        onLoop([this, wide = wideFrame(), long_ = longFrame(i)]() mutable {
            connector->last()->pushText(std::move(wide));
            connector->last()->pushText(std::move(long_));
        });
        const auto handled = static_cast<std::size_t>(i);
        ASSERT_TRUE(waitFor([this, handled] { return eventsOnLoop(Kind::jobCreated) == handled; }, 30s));
    }
    const long after = statusKiB("/proc/self/status", "VmRSS:");
    EXPECT_LT(after - before, 32 * 1024) << "resident " << before / 1024 << " MiB before the frames, "
                                         << after / 1024 << " MiB after";
#endif
}

// Frames of up to a megabyte, the largest the server sends, leave what their reading freed in the
// heap, where the next frame reuses it. Given back after each, every wide frame costs some forty
// fresh pages of the system for each page of its text, a fault each, and a stream of such frames
// a quarter more CPU. The heap still gives some back on its own, now and then.
TEST_F(ReverbClientFramesTest, MegabyteFramesReuseTheHeapRatherThanFreshPages) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own allocator keeps memory in its own way";
#else
    HeapMemory::adopt(HeapMemory::programPolicy); // as the programs do when they start
    connect();
    const auto minorFaults = [] {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return usage.ru_minflt;
    };
    std::vector<std::string> frames;
    for (std::int64_t jobId = 1; jobId <= 24; ++jobId)
        frames.push_back(emptyObjects(R"({"event":"job.created","data":{"job_id":)" + std::to_string(jobId) +
                                          R"(,"labels":[)",
                                      1'000'000, "]}}"));
    std::vector<long> faults;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const long before = minorFaults();
        onLoop([this, text = std::move(frames[i])]() mutable { connector->last()->pushText(std::move(text)); });
        ASSERT_TRUE(waitFor([this, i] { return eventsOnLoop(Kind::jobCreated) == i + 1; }, 30s));
        faults.push_back(minorFaults() - before);
    }
    // The first frame a heap sees takes fresh pages; which heap reads which frame is the pool's.
    std::sort(faults.begin(), faults.end());
    const long framePages = 1'000'000 / ::sysconf(_SC_PAGESIZE);
    EXPECT_LT(faults[faults.size() / 2], 16 * framePages)
        << "faults of each frame: " << ::testing::PrintToString(faults);
#endif
}

// Holds every thread of a loop's blocking pool until let go, one at a time or all at the end.
class PoolHold {
public:
    static constexpr std::size_t threads = 4;

    explicit PoolHold(const Executor& executor) {
        for (auto& release : releases_) {
            boost::asio::post(blockingPool(executor), [state = state_, done = release.get_future()]() {
                {
                    std::lock_guard lock(state->mutex);
                    ++state->holding;
                }
                state->changed.notify_all();
                done.wait();
            });
        }
    }
    ~PoolHold() {
        while (released_ < releases_.size())
            releaseOne();
    }
    bool allHeld(std::chrono::milliseconds limit) {
        std::unique_lock lock(state_->mutex);
        return state_->changed.wait_for(lock, limit, [this] { return state_->holding == threads; });
    }
    void releaseOne() { releases_[released_++].set_value(); }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::size_t holding = 0;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::vector<std::promise<void>> releases_ = std::vector<std::promise<void>>(threads);
    std::size_t released_ = 0;
};

// A stop that comes while a large frame is being read: the frame is not acted on when its reading
// ends, though the client was started again meanwhile.
TEST_F(ReverbClientFramesTest, AFrameThatAStopOvertakesWhileItIsReadIsNotActedOn) {
    connect();
    // The pool's threads held, so that a frame's reading waits in its queue until one is let go.
    PoolHold hold(loop.loop().executor());
    ASSERT_TRUE(hold.allHeld(5s));
    push({largeJobFrame(3)});
    stop();
    start();
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 2; }));
    // On the new socket, queued behind the first: once it is acted on, the first has come back.
    push({largeJobFrame(4)});
    hold.releaseOne();
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::jobCreated) >= 1; }, 10s));
    onLoop([this] {
        const auto job = std::find_if(events.begin(), events.end(), [](const auto& e) { return e.kind == Kind::jobCreated; });
        EXPECT_EQ(job->jobId, 4);
        EXPECT_EQ(eventsOnLoop(Kind::jobCreated), 1u);
    });
}

TEST_F(ReverbClientFramesTest, AnHtmlPageEndsTheAttemptWhateverItsCase) {
    connect();
    push({"  <!DOCTYPE HTML>\n<Html><body>It works</body></Html>"});
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::disconnected) == 1; }));
    onLoop([this] {
        EXPECT_EQ(events[1].reason,
                  "HTTP -1: Expected a WebSocket at 127.0.0.1:8080 but got an HTML page. Is Reverb "
                  "running, and is something else using that port?");
    });
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 2; }))
        << "and the client reconnects";
}

} // namespace
} // namespace varnel::testing

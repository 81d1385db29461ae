// The reporter against a scripted transport, with its delays shortened so that a whole retry cycle
// takes a fraction of a second. The built-in self-test runs the same reporter at its real pace.
#include "VarnelKit/Agent/DiagnosticsReporter.hpp"

#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/SelfTest/DiagnosticsStubProtocol.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/Support/TransportError.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <deque>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <variant>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Answers requests from a script, then with 202; keeps every request's decoded events.
class ScriptedTransport : public HttpTransport {
public:
    struct Hang {}; // waits until the request is cancelled
    using Outcome = std::variant<int, std::exception_ptr, Hang>;

    void script(std::vector<Outcome> outcomes) {
        std::lock_guard lock(mutex_);
        outcomes_.insert(outcomes_.end(), outcomes.begin(), outcomes.end());
    }
    void failEveryRequest(std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        always_ = std::move(error);
    }
    void recover() {
        std::lock_guard lock(mutex_);
        always_ = nullptr;
    }
    // The "events" array of each request, in arrival order, whatever the answer was.
    std::vector<json::Value> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::size_t count() const { return requests().size(); }

    Awaitable<HttpResponse> send(HttpRequest request) override {
        Outcome outcome = 202;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(json::parse(request.body.value_or("{}")).at("events"));
            if (always_) {
                outcome = always_;
            } else if (!outcomes_.empty()) {
                outcome = outcomes_.front();
                outcomes_.pop_front();
            }
        }
        if (std::holds_alternative<Hang>(outcome)) {
            boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor,
                                            Clock::time_point::max());
            (void)co_await timer.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
            throw OperationCancelled();
        }
        if (const auto* error = std::get_if<std::exception_ptr>(&outcome))
            std::rethrow_exception(*error);
        co_return HttpResponse{std::get<int>(outcome), {}, R"({"message":"refused"})"};
    }

    Awaitable<HttpResponseHead> download(HttpRequest, HttpDownloadSink) override {
        throw TransportError(TransportError::Code::other);
    }

private:
    mutable std::mutex mutex_;
    std::deque<Outcome> outcomes_;
    std::exception_ptr always_;
    std::vector<json::Value> requests_;
};

const std::exception_ptr unreachable =
    std::make_exception_ptr(TransportError(TransportError::Code::cannotConnect));
const std::string unreachableLine =
    "[DEBUG] Could not report diagnostics, will retry: Could not connect to the server.";

class DiagnosticsReporterTest : public ::testing::Test {
protected:
    void SetUp() override { loop.startThread(); }
    void TearDown() override {
        // The reporter's tasks belong to the loop; it goes first, on the loop.
        release();
    }

    void release() {
        loop.blockOn([](std::shared_ptr<DiagnosticsReporter>& r) -> Awaitable<void> {
            r.reset();
            co_return;
        }(reporter));
    }

    void make(DiagnosticsReporter::Timings timings = fast(), std::optional<std::int64_t> deviceId = 7) {
        auto api = std::make_shared<VarnelAPIClient>(
            VarnelAPIClient::Configuration{Url("https://api.example/"), "9.9.9",
                                           std::chrono::duration<double>(30.0)},
            "token", transport);
        DiagnosticsReporter::DeviceIdProvider provider =
            [this, deviceId]() -> Awaitable<std::optional<std::int64_t>> {
            ++deviceIdCalls;
            co_return deviceId;
        };
        reporter =
            DiagnosticsReporter::make(loop.executor(), std::move(api), logger, std::move(provider), timings);
    }

    static DiagnosticsReporter::Timings fast() { return {20ms, 100ms, 300ms}; }

    // The reporter is only ever touched on its loop.
    template <class F> auto run(F work) {
        return loop.blockOn([](F work) -> Awaitable<decltype(work())> { co_return work(); }(std::move(work)));
    }
    void report(int count, const std::string& prefix = "event ") {
        run([&] {
            for (int i = 0; i < count; ++i)
                reporter->report(AgentEventKind::printerUnreachable, prefix + std::to_string(i));
        });
    }
    void stop() { loop.blockOn(reporter->stop()); }

    // A new reporter, transport and log for one case of a loop: the first flush of `count` events
    // gets `status`. True once that flush and the next request have been sent.
    bool reportToARefusal(int status, int count) {
        transport = std::make_shared<ScriptedTransport>();
        logger = std::make_shared<RecordingLogger>();
        release();
        make();
        transport->script({status});
        report(count);
        return waitForRequests(2);
    }

    // Waits until the transport has seen `count` requests; false when the time ran out.
    bool waitForRequests(std::size_t count, Clock::duration limit = 3s) {
        const auto deadline = Clock::now() + limit;
        while (transport->count() < count) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    static std::vector<std::string> messagesOf(const json::Value& events) {
        std::vector<std::string> out;
        for (const auto& event : events)
            out.push_back(event.value("message", std::string("<none>")));
        return out;
    }
    static std::vector<std::string> expectedMessages(int from, int to) {
        std::vector<std::string> out;
        for (int i = from; i < to; ++i)
            out.push_back("event " + std::to_string(i));
        return out;
    }
    std::size_t linesContaining(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& line : logger->messages())
            n += line.find(text) != std::string::npos;
        return n;
    }

    AgentLoop loop;
    std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>();
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    std::shared_ptr<DiagnosticsReporter> reporter;
    std::atomic<int> deviceIdCalls{0};
};

TEST_F(DiagnosticsReporterTest, ABurstLeavesAsOneRequestAfterTheFlushDelay) {
    make({200ms, 10s, 1s});
    const auto start = Clock::now();
    report(1, "first ");
    std::this_thread::sleep_for(100ms);
    report(1, "second ");
    ASSERT_TRUE(waitForRequests(1));
    EXPECT_GE(Clock::now() - start, 200ms);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(transport->count(), 1u);
    EXPECT_EQ(messagesOf(transport->requests()[0]), (std::vector<std::string>{"first 0", "second 0"}));
    EXPECT_TRUE(logger->messages().empty()) << "a successful batch is not logged";
}

TEST_F(DiagnosticsReporterTest, SendsInBatchesOfFiftyInTheOrderReported) {
    make();
    report(120);
    ASSERT_TRUE(waitForRequests(3));
    const auto requests = transport->requests();
    EXPECT_EQ(messagesOf(requests[0]), expectedMessages(0, 50));
    EXPECT_EQ(messagesOf(requests[1]), expectedMessages(50, 100));
    EXPECT_EQ(messagesOf(requests[2]), expectedMessages(100, 120));
    const auto& event = requests[0][0];
    EXPECT_EQ(event.at("kind"), "printer_unreachable");
    EXPECT_FALSE(event.contains("printer_id"));
    EXPECT_FALSE(event.contains("context"));
    EXPECT_EQ(run([this] { return reporter->queuedCount(); }), 0u);
}

TEST_F(DiagnosticsReporterTest, AFullQueueDropsTheOldestAndAnnouncesTheCountOnce) {
    make();
    const auto [queued, dropped] = run([this] {
        for (int i = 0; i < 1001; ++i)
            reporter->report(AgentEventKind::printerUnreachable, "event " + std::to_string(i));
        return std::pair(reporter->queuedCount(), reporter->droppedCount());
    });
    EXPECT_EQ(queued, 1000u);
    EXPECT_EQ(dropped, 1);

    ASSERT_TRUE(waitForRequests(20));
    const auto requests = transport->requests();
    ASSERT_EQ(requests[0].size(), 51u);
    auto first = messagesOf(requests[0]);
    EXPECT_EQ(first.back(), "1 diagnostic event(s) were dropped because the backlog was full.");
    first.pop_back();
    EXPECT_EQ(first, expectedMessages(1, 51)) << "the oldest event is the one dropped";
    const auto& note = requests[0][50];
    EXPECT_EQ(note.at("kind"), "agent_crashed");
    EXPECT_FALSE(note.contains("printer_id"));
    EXPECT_FALSE(note.contains("context"));
    EXPECT_TRUE(note.contains("occurred_at"));
    for (std::size_t i = 1; i < requests.size(); ++i)
        EXPECT_EQ(requests[i].size(), 50u) << "the note went out twice";
    EXPECT_EQ(messagesOf(requests.back()).back(), "event 1000");
    EXPECT_EQ(run([this] { return reporter->droppedCount(); }), 0);
}

TEST_F(DiagnosticsReporterTest, FreeTextIsCutOnCharacterBoundariesAndMadeValid) {
    make();
    std::string accented, thumbs, key(600, 'k');
    for (int i = 0; i < 1500; ++i)
        accented += "e\xCC\x81"; // e + combining acute: one character
    for (int i = 0; i < 600; ++i)
        thumbs += "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"; // thumbs up + skin tone
    run([&] {
        reporter->report(AgentEventKind::spoolerFailure, accented, 12,
                         DiagnosticsReporter::Context{{key, thumbs}});
        // Bytes as a CUPS queue or a file may hand them over: lone continuation bytes, a cut-off
        // sequence, an overlong encoding, in the message, a context value and a key.
        reporter->report(AgentEventKind::spoolerFailure, std::string(1500, '\xFF'), std::nullopt,
                         DiagnosticsReporter::Context{{"queue\xC3", "Zebra \x80\xE2\x82"},
                                                      {"path", "\xC0\xAF"
                                                               "etc"}});
    });
    ASSERT_TRUE(waitForRequests(1));
    const auto events = transport->requests()[0];
    ASSERT_EQ(events.size(), 2u);

    const std::string message = events[0].at("message");
    EXPECT_EQ(message.size(), 3000u);
    EXPECT_TRUE(message.ends_with("e\xCC\x81"));
    EXPECT_EQ(events[0].at("printer_id"), 12);
    const std::string value = events[0].at("context").at(key);
    EXPECT_EQ(value.size(), 500u * 8) << "a value is cut at 500 characters, not bytes or code points";

    std::string replacements;
    for (int i = 0; i < 1000; ++i)
        replacements += "\xEF\xBF\xBD";
    EXPECT_EQ(events[1].at("message"), replacements);
    EXPECT_EQ(events[1].at("context").at("queue\xEF\xBF\xBD"), "Zebra \xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(events[1].at("context").at("path"), "\xEF\xBF\xBD\xEF\xBF\xBD"
                                                  "etc");
}

TEST_F(DiagnosticsReporterTest, AnUnreachableServerKeepsTheEventsInOrderAndRetries) {
    make({20ms, 300ms, 300ms});
    const std::size_t failed = 3;
    transport->script({unreachable, unreachable, unreachable});
    report(60);
    ASSERT_TRUE(waitForRequests(failed));
    EXPECT_EQ(run([this] { return reporter->queuedCount(); }), 60u) << "a failed batch goes back to the head";
    report(1, "late ");
    ASSERT_TRUE(waitForRequests(failed + 2));

    const auto requests = transport->requests();
    for (std::size_t i = 0; i < failed; ++i)
        EXPECT_EQ(messagesOf(requests[i]), expectedMessages(0, 50));
    EXPECT_EQ(messagesOf(requests[failed]), expectedMessages(0, 50)) << "the oldest events leave first";
    auto rest = expectedMessages(50, 60);
    rest.push_back("late 0");
    EXPECT_EQ(messagesOf(requests[failed + 1]), rest);
    // One line per failed flush, none for the successful one.
    EXPECT_EQ(logger->messages(), std::vector<std::string>(failed, unreachableLine));
}

TEST_F(DiagnosticsReporterTest, RefusalsThatMayPassLaterAreRetried) {
    for (const int status : {408, 429, 500, 503, 302}) {
        SCOPED_TRACE(status);
        ASSERT_TRUE(reportToARefusal(status, 2));
        const auto requests = transport->requests();
        EXPECT_EQ(messagesOf(requests[1]), messagesOf(requests[0]));
        ASSERT_EQ(logger->messages().size(), 1u);
        EXPECT_TRUE(logger->messages()[0].starts_with("[DEBUG] Could not report diagnostics, will retry: "));
    }
    EXPECT_EQ(logger->messages()[0],
              "[DEBUG] Could not report diagnostics, will retry: HTTP 302: {\"message\":\"refused\"}");
}

TEST_F(DiagnosticsReporterTest, ABatchTheServerRefusesForGoodIsDroppedAndTheRestStillGoes) {
    // 401 and 403 too: the API client turns them into a rejected credential,
    // which this reporter's token can never get past, so a retry every 30 s would last for ever.
    for (const int status : {401, 403, 400, 404, 410, 413, 422, 426}) {
        SCOPED_TRACE(status);
        ASSERT_TRUE(reportToARefusal(status, 53));
        std::this_thread::sleep_for(3 * fast().retryDelay);
        const auto requests = transport->requests();
        ASSERT_EQ(requests.size(), 2u) << "the refused batch was sent again";
        EXPECT_EQ(messagesOf(requests[1]), expectedMessages(50, 53));
        ASSERT_EQ(logger->messages().size(), 1u);
        EXPECT_TRUE(logger->messages()[0].starts_with(
            "[ERROR] The server refused 50 diagnostic event(s), so they were dropped: "))
            << logger->messages()[0];
        EXPECT_EQ(run([this] { return reporter->queuedCount(); }), 0u);
    }
    EXPECT_EQ(logger->messages()[0],
              "[ERROR] The server refused 50 diagnostic event(s), so they were dropped: "
              "Agent update required (minimum unknown)");
}

TEST_F(DiagnosticsReporterTest, ARejectedCredentialIsNamedWhenItsBatchIsDropped) {
    ASSERT_TRUE(reportToARefusal(401, 53));
    ASSERT_EQ(logger->messages().size(), 1u);
    EXPECT_EQ(logger->messages()[0], "[ERROR] The server refused 50 diagnostic event(s), so they were dropped: "
                                     "This Mac's access was removed. Set it up again to reconnect.");
}

TEST_F(DiagnosticsReporterTest, TheDroppedNoteOfARefusedBatchIsLoggedOnceInstead) {
    make();
    transport->script({400});
    run([this] {
        for (int i = 0; i < 1003; ++i)
            reporter->report(AgentEventKind::printerUnreachable, "event " + std::to_string(i));
    });
    // 1000 queued after 3 dropped: the first batch (50 and the note) is refused, 19 more follow.
    ASSERT_TRUE(waitForRequests(20));
    std::this_thread::sleep_for(3 * fast().retryDelay);
    const auto requests = transport->requests();
    ASSERT_EQ(requests.size(), 20u);
    ASSERT_EQ(requests[0].size(), 51u);
    EXPECT_EQ(messagesOf(requests[0]).back(), "3 diagnostic event(s) were dropped because the backlog was full.");
    for (std::size_t i = 1; i < requests.size(); ++i)
        EXPECT_EQ(requests[i].size(), 50u) << "the note went out again";

    EXPECT_EQ(logger->messages(),
              (std::vector<std::string>{"[ERROR] The server refused 50 diagnostic event(s), so they were dropped: "
                                        "HTTP 400: {\"message\":\"refused\"}",
                                        "[ERROR] 3 diagnostic event(s) were dropped because the backlog was full; "
                                        "the server refused the batch that said so."}));
    EXPECT_EQ(run([this] { return reporter->droppedCount(); }), 0);
}

TEST_F(DiagnosticsReporterTest, TheDroppedNoteStaysWithItsBatchThroughARetry) {
    make();
    transport->script({unreachable, 400});
    run([this] {
        for (int i = 0; i < 1002; ++i)
            reporter->report(AgentEventKind::printerUnreachable, "event " + std::to_string(i));
    });
    // The first batch fails, goes back and is sent again with its note, and is then refused for
    // good: the note's count goes to the log, and the 19 batches after it carry no note.
    ASSERT_TRUE(waitForRequests(21));
    std::this_thread::sleep_for(3 * fast().retryDelay);
    const auto requests = transport->requests();
    ASSERT_EQ(requests.size(), 21u);
    const std::string note = "2 diagnostic event(s) were dropped because the backlog was full.";
    for (std::size_t i = 0; i < 2; ++i) {
        auto messages = messagesOf(requests[i]);
        ASSERT_EQ(messages.size(), 51u);
        EXPECT_EQ(messages.back(), note);
        messages.pop_back();
        EXPECT_EQ(messages, expectedMessages(2, 52));
    }
    for (std::size_t i = 2; i < requests.size(); ++i)
        EXPECT_EQ(requests[i].size(), 50u) << "the note went out again";
    EXPECT_EQ(logger->messages(),
              (std::vector<std::string>{unreachableLine,
                                        "[ERROR] The server refused 50 diagnostic event(s), so they were dropped: "
                                        "HTTP 400: {\"message\":\"refused\"}",
                                        "[ERROR] 2 diagnostic event(s) were dropped because the backlog was full; "
                                        "the server refused the batch that said so."}));
}

TEST_F(DiagnosticsReporterTest, WithoutADeviceIdNothingIsSentOrLogged) {
    make(fast(), std::nullopt);
    report(3);
    std::this_thread::sleep_for(5 * fast().flushDelay + 3 * fast().retryDelay);
    EXPECT_EQ(transport->count(), 0u);
    EXPECT_TRUE(logger->messages().empty());
    EXPECT_EQ(deviceIdCalls.load(), 1) << "nothing is rescheduled while there is no id";
    EXPECT_EQ(run([this] { return reporter->queuedCount(); }), 3u);
}

TEST_F(DiagnosticsReporterTest, StopCancelsThePendingFlushAndSendsOnce) {
    make({10s, 10s, 1s});
    report(2);
    const auto start = Clock::now();
    stop();
    EXPECT_LT(Clock::now() - start, 1s);
    ASSERT_EQ(transport->count(), 1u);
    EXPECT_EQ(messagesOf(transport->requests()[0]), expectedMessages(0, 2));
    EXPECT_FALSE(run([this] { return reporter->hasPendingFlush(); }));

    report(1);
    EXPECT_EQ(run([this] { return reporter->queuedCount(); }), 0u) << "a report after stop() is ignored";
    EXPECT_FALSE(run([this] { return reporter->hasPendingFlush(); }));
}

TEST_F(DiagnosticsReporterTest, AFailedFinalFlushKeepsTheEventsAndRetriesNothing) {
    make({10s, 100ms, 300ms});
    transport->failEveryRequest(unreachable);
    run([this] { reporter->report(AgentEventKind::agentStopped, "Varnel shut down."); });
    stop();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(transport->count(), 1u);
    EXPECT_EQ(logger->messages(), std::vector<std::string>{unreachableLine});
    EXPECT_EQ(run([this] { return reporter->queuedCount(); }), 1u);
    EXPECT_FALSE(run([this] { return reporter->hasPendingFlush(); }));
}

TEST_F(DiagnosticsReporterTest, StopAgainstAHangingServerReturnsWithinItsLimit) {
    make({10s, 10s, 300ms});
    transport->script({ScriptedTransport::Hang{}});
    report(2);
    const auto start = Clock::now();
    stop();
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 2s);
    EXPECT_EQ(
        logger->messages(),
        std::vector<std::string>{"[DEBUG] Could not report diagnostics, will retry: The request timed out."});
    EXPECT_EQ(run([this] { return reporter->queuedCount(); }), 2u) << "the cut-short batch is kept";
}

TEST_F(DiagnosticsReporterTest, ACancelledSendIsNotAFailure) {
    make();
    transport->script({std::make_exception_ptr(OperationCancelled())});
    report(2);
    ASSERT_TRUE(waitForRequests(2));
    EXPECT_EQ(messagesOf(transport->requests()[1]), expectedMessages(0, 2));
    EXPECT_EQ(linesContaining("Could not report diagnostics"), 0u)
        << "a cancellation was logged as a failure";
}

TEST_F(DiagnosticsReporterTest, AReleasedReporterSendsNothingMore) {
    make({100ms, 10s, 1s});
    report(1);
    release();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(transport->count(), 0u);
}

TEST(AgentEventKindTest, RawValuesAreExact) {
    EXPECT_EQ(fromRawValue<AgentEventKind>("agent_started"), AgentEventKind::agentStarted);
    EXPECT_EQ(fromRawValue<AgentEventKind>("AGENT_STARTED"), std::nullopt);
    EXPECT_EQ(fromRawValue<AgentEventKind>("agent-started"), std::nullopt);
    std::vector<std::string> raw;
    for (const auto kind : allCases(AgentEventKind{}))
        raw.push_back(std::string(rawValue(kind)));
    EXPECT_EQ(raw.size(), 12u);
    EXPECT_EQ(raw.front(), "agent_started");
    EXPECT_EQ(raw.back(), "spooler_failure");
}

// The self-test's stand-in for the server: a fault here would give the Diagnostics suite false verdicts.
TEST(DiagnosticsStubProtocolTest, CountsEveryRequestAndKeepsOnlyAcceptedUtf8Bodies) {
    AgentLoop loop;
    loop.startThread();
    using Stub = DiagnosticsStubProtocol;
    Stub::reset();
    auto session = Stub::session();
    const auto send = [&](std::string method, std::string url, std::optional<std::string> body) {
        return loop.blockOn(
            session->send(HttpRequest{std::move(method), std::move(url), {}, std::move(body)}));
    };

    const auto accepted = send("POST", "https://a.example/api/v1/devices/7/events", "{\"events\":[]}");
    EXPECT_EQ(accepted.status, 202);
    EXPECT_EQ(accepted.headers, (HttpHeaders{{"Content-Type", "application/json"}}));
    EXPECT_EQ(accepted.body, R"({"ok":true,"accepted":1})");
    EXPECT_EQ(send("GET", "http://elsewhere.example/", std::nullopt).body, accepted.body);
    (void)send("PUT", "https://a.example/", "");
    (void)send("POST", "https://a.example/", std::string("\xFF"));
    EXPECT_EQ(Stub::requestCount(), 4);
    EXPECT_EQ(Stub::bodies(), (std::vector<std::string>{"{\"events\":[]}", ""}));

    Stub::setFailing(true);
    const auto failure =
        testing::thrownBy<TransportError>([&] { (void)send("POST", "https://a.example/", "lost"); });
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->code(), TransportError::Code::cannotConnect);
    EXPECT_EQ(Stub::requestCount(), 5);
    EXPECT_EQ(Stub::bodies().size(), 2u);

    Stub::reset();
    EXPECT_EQ(Stub::requestCount(), 0);
    EXPECT_TRUE(Stub::bodies().empty());
    EXPECT_EQ(send("POST", "https://a.example/", "after").status, 202) << "a reset ends the outage";
}

} // namespace
} // namespace varnel

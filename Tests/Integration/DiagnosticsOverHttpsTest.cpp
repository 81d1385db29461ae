// The diagnostics reporter over the real transport to an HTTPS server on 127.0.0.1: what reaches
// the server when it fails, refuses a batch for good, or never answers.
#include "LoopbackHttpsServer.hpp"
#include "VarnelKit/Agent/DiagnosticsReporter.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <deque>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using Server = testing::LoopbackHttpsServer;
using Reply = Server::Reply;

// Answers with the scripted statuses in turn, then 202.
class Script {
public:
    explicit Script(std::deque<int> statuses) : statuses_(std::move(statuses)) {}
    Reply next() {
        std::lock_guard lock(mutex_);
        int status = 202;
        if (!statuses_.empty()) {
            status = statuses_.front();
            statuses_.pop_front();
        }
        if (status == 0)
            return Reply{200, {}, "", Reply::Mode::silent};
        return Reply{status, {{"Content-Type", "application/json"}}, R"({"message":"no"})"};
    }

private:
    std::mutex mutex_;
    std::deque<int> statuses_;
};

class DiagnosticsOverHttpsTest : public ::testing::Test {
protected:
    void SetUp() override { loop.startThread(); }
    void TearDown() override {
        loop.blockOn([](std::shared_ptr<DiagnosticsReporter>& r) -> Awaitable<void> {
            r.reset();
            co_return;
        }(reporter));
    }

    void start(std::deque<int> statuses, DiagnosticsReporter::Timings timings = {50ms, 200ms, 500ms}) {
        script = std::make_shared<Script>(std::move(statuses));
        server = std::make_unique<Server>([s = script](const Server::Request&) { return s->next(); });
        auto api = std::make_shared<VarnelAPIClient>(
            VarnelAPIClient::Configuration{Url(server->url("/v")), "9.9.9",
                                           std::chrono::duration<double>(10.0)},
            "tok");
        DiagnosticsReporter::DeviceIdProvider provider = []() -> Awaitable<std::optional<std::int64_t>> {
            co_return 7;
        };
        reporter =
            DiagnosticsReporter::make(loop.executor(), std::move(api), logger, std::move(provider), timings);
    }

    void report(int count, std::string prefix) {
        loop.blockOn([](std::shared_ptr<DiagnosticsReporter> r, int n, std::string p) -> Awaitable<void> {
            for (int i = 0; i < n; ++i)
                r->report(AgentEventKind::printerUnreachable, p + std::to_string(i));
            co_return;
        }(reporter, count, std::move(prefix)));
    }

    static std::vector<std::string> messagesOf(const Server::Request& request) {
        std::vector<std::string> out;
        const json::Value body = json::parse(request.body);
        for (const auto& event : body.at("events"))
            out.push_back(event.value("message", ""));
        return out;
    }

    testing::ScopedEnvironment authority{"SSL_CERT_FILE",
                                         testing::TestCertificates::shared().caFile.string()};
    AgentLoop loop;
    std::shared_ptr<Script> script;
    std::unique_ptr<Server> server;
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    std::shared_ptr<DiagnosticsReporter> reporter;
};

TEST_F(DiagnosticsOverHttpsTest, FailedBatchesAreSentAgainUntilTheServerTakesThem) {
    start({503, 429});
    // Bytes that are not UTF-8 must not make the batch unsendable.
    report(2, "queue \xFF\xC3 ");
    ASSERT_TRUE(server->waitForRequests(3, 10s));

    const auto requests = server->requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, "/v/api/v1/devices/7/events");
        EXPECT_EQ(headerValue(request.headers, "Authorization"), "Bearer tok");
        EXPECT_EQ(headerValue(request.headers, "Content-Type"), "application/json");
        EXPECT_TRUE(Text::isValidUtf8(request.body));
        EXPECT_EQ(messagesOf(request), (std::vector<std::string>{"queue \xEF\xBF\xBD\xEF\xBF\xBD 0",
                                                                 "queue \xEF\xBF\xBD\xEF\xBF\xBD 1"}));
    }
    EXPECT_EQ(logger->messages(),
              (std::vector<std::string>{
                  "[DEBUG] Could not report diagnostics, will retry: HTTP 503: {\"message\":\"no\"}",
                  "[DEBUG] Could not report diagnostics, will retry: HTTP 429: {\"message\":\"no\"}"}));
}

TEST_F(DiagnosticsOverHttpsTest, ABatchRefusedForGoodIsDroppedWithAnErrorLine) {
    start({422});
    report(53, "event ");
    ASSERT_TRUE(server->waitForRequests(2, 10s));
    std::this_thread::sleep_for(600ms); // three retry delays: nothing more may come
    const auto requests = server->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(messagesOf(requests[1]), (std::vector<std::string>{"event 50", "event 51", "event 52"}));
    EXPECT_EQ(logger->messages(),
              std::vector<std::string>{"[ERROR] The server refused 50 diagnostic event(s), so "
                                       "they were dropped: HTTP 422: {\"message\":\"no\"}"});
}

TEST_F(DiagnosticsOverHttpsTest, StopReturnsWhenTheServerNeverAnswers) {
    start({0}, {10s, 10s, 500ms});
    report(1, "event ");
    const auto begin = std::chrono::steady_clock::now();
    loop.blockOn(reporter->stop());
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, 3s);
    EXPECT_EQ(server->requests().size(), 1u);
    EXPECT_EQ(
        logger->messages(),
        std::vector<std::string>{"[DEBUG] Could not report diagnostics, will retry: The request timed out."});
}

} // namespace
} // namespace varnel

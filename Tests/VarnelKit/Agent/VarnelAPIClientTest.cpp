#include "FakeHttpTransport.hpp"
#include "VarnelKit/LoopPause.hpp"
#include "VarnelKit/TestSupport.hpp"
#include "WideJson.hpp"

#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Platform/CurlHttpTransport.hpp"
#include "VarnelKit/Platform/LoopbackHttpServer.hpp"
#include "VarnelKit/Protocol/JobPayload.hpp"
#include "VarnelKit/Protocol/PendingJob.hpp"
#include "VarnelKit/SelfTest/StubURLProtocol.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/Task.hpp"
#include "VarnelKit/Support/TransportError.hpp"

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

namespace varnel {
namespace {

using APIError = VarnelAPIClient::APIError;
using Kind = APIError::Kind;

class VarnelAPIClientTest : public ::testing::Test {
protected:
    void SetUp() override { loop.startThread(); }

    VarnelAPIClient client(std::optional<std::string> token = "secret", std::string base = "https://api.example/") {
        return VarnelAPIClient({Url(base), "9.9.9", std::chrono::duration<double>(30.0)}, std::move(token), fake);
    }

    void answer(int status, std::string body) { fake->reply = HttpResponse{status, {}, std::move(body)}; }

    template <class T> APIError errorOf(Awaitable<T> call) { return testing::thrownBy<APIError>(loop, std::move(call)).value(); }

    AgentLoop loop;
    std::shared_ptr<testing::FakeHttpTransport> fake = std::make_shared<testing::FakeHttpTransport>();
};

TEST_F(VarnelAPIClientTest, JoinsPathsWithExactlyOneSlash) {
    EXPECT_EQ(VarnelAPIClient::endpoint(Url("https://h.example"), "api/v1/jobs/7").buffer(), "https://h.example/api/v1/jobs/7");
    EXPECT_EQ(VarnelAPIClient::endpoint(Url("https://h.example/x"), "api/v1/jobs/7").buffer(), "https://h.example/x/api/v1/jobs/7");
    EXPECT_EQ(VarnelAPIClient::endpoint(Url("https://h.example/x/"), "api/v1/jobs/7").buffer(), "https://h.example/x/api/v1/jobs/7");
}

TEST_F(VarnelAPIClientTest, WithoutATokenAuthenticatedRequestsFailBeforeAnythingIsSent) {
    auto api = client(std::nullopt);
    EXPECT_EQ(errorOf(api.pendingJobs(1)).kind(), Kind::notAuthenticated);
    EXPECT_EQ(errorOf(api.syncPrinters(1, {})).kind(), Kind::notAuthenticated);
    EXPECT_EQ(errorOf(api.reportEvents(1, {})).kind(), Kind::notAuthenticated);
    EXPECT_EQ(errorOf(api.pendingJobs(1)).description(), "No agent token \xE2\x80\x94 this Mac is not enrolled");
    EXPECT_TRUE(fake->requests.empty());

    api.setToken("later");
    answer(200, R"({"jobs":[]})");
    EXPECT_TRUE(loop.blockOn(api.pendingJobs(1)).empty());
    ASSERT_EQ(fake->requests.size(), 1u);
    EXPECT_EQ(headerValue(fake->requests[0].headers, "Authorization"), "Bearer later");
}

TEST_F(VarnelAPIClientTest, HeadersAndContentTypeOnlyWithABody) {
    auto api = client();
    answer(200, "");
    loop.blockOn(api.submitResult(5, JobResultRequest::printed({}, {}, 3)));
    answer(200, R"({"jobs":[]})");
    loop.blockOn(api.pendingJobs(-4));
    ASSERT_EQ(fake->requests.size(), 2u);
    const auto& post = fake->requests[0];
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.url, "https://api.example/api/v1/jobs/5/result");
    EXPECT_EQ(post.timeout, std::chrono::milliseconds(30000));
    const HttpHeaders expected{{"Accept", "application/json"},
                               {"X-Varnel-Agent-Version", "9.9.9"},
                               {"Authorization", "Bearer secret"},
                               {"Content-Type", "application/json"}};
    EXPECT_EQ(post.headers, expected);
    const auto& get = fake->requests[1];
    EXPECT_EQ(get.url, "https://api.example/api/v1/devices/-4/jobs/pending");
    EXPECT_FALSE(get.body.has_value());
    EXPECT_FALSE(headerValue(get.headers, "Content-Type").has_value());
}

TEST_F(VarnelAPIClientTest, MapsStatusesInOrder) {
    auto api = client();
    answer(299, "");
    EXPECT_NO_THROW(loop.blockOn(api.syncPrinters(1, {})));
    answer(204, "");
    EXPECT_NO_THROW(loop.blockOn(api.submitResult(1, JobResultRequest::printed({}, {}, 1))));

    answer(401, R"({"error_code":"x"})");
    EXPECT_EQ(errorOf(api.job(1)).kind(), Kind::credentialRejected);
    answer(403, "whatever");
    EXPECT_EQ(errorOf(api.job(1)).description(), "This Mac's access was removed. Set it up again to reconnect.");

    answer(410, R"({"error_code":"job_cancelled"})");
    EXPECT_EQ(errorOf(api.job(1)).description(), "Job no longer available (job_cancelled)");
    answer(410, "not json");
    const auto gone = errorOf(api.job(1));
    EXPECT_EQ(gone.code(), std::nullopt);
    EXPECT_EQ(gone.description(), "Job no longer available (gone)");
    answer(410, R"({"error_code":7})");
    EXPECT_EQ(errorOf(api.job(1)).code(), std::nullopt);

    answer(426, R"({"minimum_version":"2.0.0"})");
    EXPECT_EQ(errorOf(api.job(1)).description(), "Agent update required (minimum 2.0.0)");
    answer(426, "");
    EXPECT_EQ(errorOf(api.job(1)).text(), "unknown");

    answer(500, "oops");
    EXPECT_EQ(errorOf(api.job(1)).description(), "HTTP 500: oops");
    answer(502, "");
    EXPECT_EQ(errorOf(api.job(1)).description(), "HTTP 502: ");
    answer(404, std::string("\xFF\xFE", 2));
    EXPECT_EQ(errorOf(api.job(1)).body(), "<binary>");
    answer(199, " padded ");
    const auto interim = errorOf(api.job(1));
    EXPECT_EQ(interim.status(), 199);
    EXPECT_EQ(interim.body(), " padded ");
    answer(300, "");
    EXPECT_EQ(errorOf(api.syncPrinters(1, {})).status(), 300);
    answer(0, "");
    EXPECT_EQ(errorOf(api.job(1)).description(), "HTTP -1: Non-HTTP response");
}

// The description is what gets logged and printed; the body stays whole for the callers that read
// it. A server's page of megabytes is quoted in at most serverTextLimit characters, on one line
// without the controls that would retitle or clear a terminal; so are its other texts.
TEST_F(VarnelAPIClientTest, DescriptionsQuoteTheServersTextBoundedOnOneCleanLine) {
    auto api = client();
    const std::string page = std::string(5 * 1024 * 1024, 'x');
    answer(500, page);
    const auto huge = errorOf(api.job(1));
    EXPECT_EQ(huge.body(), page);
    EXPECT_EQ(huge.description(), "HTTP 500: " + std::string(APIError::serverTextLimit - 1, 'x') + "\xE2\x80\xA6");
    // Right at the limit nothing is cut.
    answer(500, page.substr(0, APIError::serverTextLimit));
    EXPECT_EQ(errorOf(api.job(1)).description(), "HTTP 500: " + page.substr(0, APIError::serverTextLimit));

    const std::string fffd = "\xEF\xBF\xBD";
    answer(503, "\x1B]0;owned\x07\x1B[2J\rfake\nline");
    const auto escapes = errorOf(api.job(1));
    EXPECT_EQ(escapes.description(), "HTTP 503: " + fffd + "]0;owned" + fffd + fffd + "[2J" + fffd + "fake" + fffd + "line");
    EXPECT_EQ(escapes.body(), "\x1B]0;owned\x07\x1B[2J\rfake\nline");

    answer(426, R"({"minimum_version":"2.0\u001b[2J"})");
    const auto upgrade = errorOf(api.job(1));
    EXPECT_EQ(upgrade.description(), "Agent update required (minimum 2.0" + fffd + "[2J)");
    EXPECT_EQ(upgrade.text(), "2.0\x1B[2J");
    answer(410, R"({"error_code":"gone\r\n"})");
    EXPECT_EQ(errorOf(api.job(1)).description(), "Job no longer available (gone" + fffd + fffd + ")");
}

TEST_F(VarnelAPIClientTest, TransportFailuresReachTheCallerUnchanged) {
    auto api = client();
    fake->failure = std::make_exception_ptr(TransportError(TransportError::Code::cannotConnect));
    EXPECT_EQ(testing::thrownBy<TransportError>(loop, api.job(1)).value().code(), TransportError::Code::cannotConnect);
}

TEST_F(VarnelAPIClientTest, AnEventsReportMayCarryATimeOutOfItsOwn) {
    auto api = client();
    answer(204, "");
    loop.blockOn(api.reportEvents(7, {}, std::chrono::milliseconds(2000)));
    loop.blockOn(api.reportEvents(7, {}));
    loop.blockOn(api.syncPrinters(7, {}));
    ASSERT_EQ(fake->requests.size(), 3u);
    EXPECT_EQ(fake->requests[0].timeout, std::chrono::milliseconds(2000));
    EXPECT_EQ(fake->requests[1].timeout, std::chrono::milliseconds(30000));
    EXPECT_EQ(fake->requests[2].timeout, std::chrono::milliseconds(30000));
}

TEST_F(VarnelAPIClientTest, TheEventsTimeOutBoundsTheRealRequest) {
    testing::LoopbackHttpServer server(
        [](testing::LoopbackHttpServer::Connection& connection, const std::string&) { connection.holdSilently(); });
    VarnelAPIClient api({Url(server.url()), "9.9.9", std::chrono::duration<double>(30.0)}, "secret",
                        std::make_shared<CurlHttpTransport>());
    const auto start = std::chrono::steady_clock::now();
    const auto error = testing::thrownBy<TransportError>(loop, api.reportEvents(7, {}, std::chrono::milliseconds(200)));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), TransportError::Code::timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(server.requests(), 1);
}

TEST_F(VarnelAPIClientTest, DecodedRepliesFailAsDecodingErrors) {
    auto api = client();
    answer(200, "");
    EXPECT_EQ(errorOf(api.pendingJobs(1)).kind(), Kind::decoding);
    EXPECT_EQ(errorOf(api.assignedPrinters(1)).kind(), Kind::decoding);
    answer(200, R"({"token":"t"})");
    EXPECT_EQ(errorOf(api.authorizeChannel("1.2", "private-device.1")).kind(), Kind::decoding);
    answer(200, R"({"job_id":1,"printer_id":1,"printer_key":"k","language":"zpl","copies":1,"encoding":"utf8",)"
                R"("expires_at":"2024-05-01"})");
    const auto badDate = errorOf(api.job(1));
    EXPECT_TRUE(badDate.description().starts_with("Malformed response: ")) << badDate.description();
    EXPECT_NE(badDate.description().find("Unrecognised date: 2024-05-01"), std::string::npos) << badDate.description();
    answer(200, R"({"job_id":1,"printer_id":1,"printer_key":"k","language":"zpl","copies":1,"encoding":"utf8",)"
                R"("expires_at":"2024-05-01T12:30:45.123+02:00"})");
    EXPECT_TRUE(loop.blockOn(api.job(1)).expiresAt.has_value());
}

// A reply of many megabytes (a job's whole payload, a pending list) must not hold up the loop,
// where the channel and the other jobs run, while it is decoded.
TEST_F(VarnelAPIClientTest, ALargeReplyIsDecodedOffTheLoop) {
    auto api = client();
    const std::string filler(24 * 1024 * 1024, 'A');
    const auto expectOffTheLoop = [&](const std::string& body, auto decodeHere, auto call) {
        const auto start = std::chrono::steady_clock::now();
        decodeHere(json::parse(body));
        const auto decoding = std::chrono::steady_clock::now() - start;
        answer(200, body);
        const auto pause = testing::longestLoopPause(loop, call);
        EXPECT_LT(pause, decoding / 2) << "decoding took "
                                       << std::chrono::duration_cast<std::chrono::milliseconds>(decoding).count()
                                       << " ms and held the loop for "
                                       << std::chrono::duration_cast<std::chrono::milliseconds>(pause).count() << " ms";
    };
    expectOffTheLoop(
        R"({"job_id":1,"printer_id":1,"printer_key":"k","language":"zpl","copies":1,"encoding":"utf8","payload":")" +
            filler + R"("})",
        [](const json::Value& v) { (void)JobPayload::fromJson(v); },
        [&] { EXPECT_EQ(loop.blockOn(api.job(1)).payload->size(), 24u << 20); });
    expectOffTheLoop(R"({"jobs":[{"job_id":5,"printer_id":2,"language":"zpl"}],"note":")" + filler + R"("})",
                     [](const json::Value& v) { (void)PendingJobsResponse::fromJson(v); },
                     [&] { EXPECT_EQ(loop.blockOn(api.pendingJobs(1)).size(), 1u); });
}

// A reply beyond the reader's bounds (nested past its depth, or holding more values than it may
// build) fails its own request with a reason that says so, and the client goes on: the next
// request reads its reply as usual.
TEST_F(VarnelAPIClientTest, AReplyBeyondTheBoundsFailsThatRequestOnly) {
    auto api = client();
    const std::string tooDeep = "Malformed response: JSON nested too deeply (more than 32 levels)";
    answer(200, R"({"jobs":)" + std::string(2u << 20, '['));
    EXPECT_EQ(errorOf(api.pendingJobs(1)).kind(), Kind::decoding);
    EXPECT_EQ(errorOf(api.pendingJobs(1)).description(), tooDeep);
    answer(200, std::string(40, '[') + std::string(40, ']'));
    EXPECT_EQ(errorOf(api.assignedPrinters(1)).description(), tooDeep);
    EXPECT_EQ(errorOf(api.job(1)).description(), tooDeep);

    answer(200, testing::emptyObjects(R"({"jobs":[)", 16u << 20, "]}"));
    const auto tooMany = errorOf(api.pendingJobs(1));
    EXPECT_EQ(tooMany.kind(), Kind::decoding);
    EXPECT_EQ(tooMany.description(),
              "Malformed response: JSON holds too many values (more than 64 MiB of them in memory)");

    answer(200, R"({"jobs":[{"job_id":5,"printer_id":2,"language":"zpl"}]})");
    const auto jobs = loop.blockOn(api.pendingJobs(1));
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs.front().jobId, 5);
}

TEST_F(VarnelAPIClientTest, HeartbeatSendsItsBodyAndTreatsUndecodableOffersAsNone) {
    auto api = client();
    const std::string offer = R"({"version":"1.1.0","download_url":"https://d.example/V.dmg","sha256":"AB"})";
    answer(200, R"({"update":)" + offer + "}");
    const auto update = loop.blockOn(api.heartbeat(0, std::nullopt));
    ASSERT_TRUE(update.has_value());
    EXPECT_EQ(update->version, "1.1.0");
    EXPECT_FALSE(update->required);
    EXPECT_FALSE(update->notesURL.has_value());
    EXPECT_EQ(fake->requests.back().url, "https://api.example/api/v1/devices/0/heartbeat");
    EXPECT_EQ(fake->requests.back().body, R"({"agent_version":"9.9.9"})");

    for (const char* body : {"", "not json", R"({})", R"({"update":null})",
                             R"({"update":{"version":"1","download_url":"https://d.example/x"}})",
                             R"({"update":{"version":"1","download_url":"","sha256":"a"}})",
                             R"({"update":{"version":"1","download_url":"https://d","sha256":"a","required":"yes"}})"}) {
        answer(200, body);
        EXPECT_FALSE(loop.blockOn(api.heartbeat(3, "Debian 12.0.0")).has_value()) << body;
    }
    EXPECT_EQ(fake->requests.back().body, R"({"agent_version":"9.9.9","os_version":"Debian 12.0.0"})");
    answer(426, R"({"minimum_version":"3.0.0"})");
    EXPECT_EQ(errorOf(api.heartbeat(3, std::nullopt)).kind(), Kind::upgradeRequired);
}

TEST(AgentUpdateTest, EqualityComparesEveryFieldAndTheChecksumCase) {
    const auto decode = [](const char* text) { return VarnelAPIClient::AgentUpdate::fromJson(json::parse(text)); };
    const auto a = decode(R"({"version":"2.0.0","download_url":"https://d.example/V.dmg","notes_url":null,"sha256":"ab","required":null})");
    EXPECT_EQ(a, decode(R"({"version":"2.0.0","download_url":"https://d.example/V.dmg","sha256":"ab"})"));
    EXPECT_NE(a, decode(R"({"version":"2.0.0","download_url":"https://d.example/V.dmg","sha256":"AB"})"));
    EXPECT_NE(a, decode(R"({"version":"2.0.0","download_url":"https://d.example/V.dmg","sha256":"ab","required":true})"));
    EXPECT_NE(a, decode(R"({"version":"2.0.0","download_url":"https://d.example/V.dmg","notes_url":"https://n.example","sha256":"ab"})"));
    EXPECT_THROW(decode(R"({"version":"2.0.0","download_url":"not a url","sha256":"ab"})"), json::DecodeError);
    EXPECT_THROW(decode(R"({"version":"2.0.0","download_url":"https://d.example:80x/V.dmg","sha256":"ab"})"), json::DecodeError);
}

TEST(AgentEventBatchTest, LeavesOutAbsentFieldsAndKeepsOrder) {
    const json::Date when = std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + std::chrono::hours(12) +
                            std::chrono::milliseconds(45500);
    AgentEventBatch batch{{{std::string(rawValue(AgentEventKind::agentStarted)), std::nullopt, std::nullopt, when, std::nullopt},
                           {"printer_unreachable", "gone", 7, when, std::map<std::string, std::string>{{"k", "v"}}}}};
    EXPECT_EQ(json::dump(batch.toJson()),
              R"({"events":[{"kind":"agent_started","occurred_at":"2024-05-01T12:00:45Z"},)"
              R"({"kind":"printer_unreachable","message":"gone","printer_id":7,"occurred_at":"2024-05-01T12:00:45Z","context":{"k":"v"}}]})");
    EXPECT_EQ(fromRawValue<AgentEventKind>("Agent_Started"), std::nullopt);
    EXPECT_EQ(fromRawValue<AgentEventKind>("spooler_failure"), AgentEventKind::spoolerFailure);
}

TEST(StubURLProtocolTest, AnswersEveryRequestWithTheCannedReply) {
    AgentLoop loop;
    loop.startThread();
    auto session = StubURLProtocol::session();
    auto first = loop.blockOn(session->send(HttpRequest{"GET", "https://a.example/x", {}, std::nullopt}));
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(first.headers, (HttpHeaders{{"Content-Length", "0"}}));
    EXPECT_EQ(first.body, "");

    StubURLProtocol::respond(bytesOf("hello"), 404);
    auto second = loop.blockOn(session->send(HttpRequest{"PUT", "http://b.example/", {{"X", "y"}}, "body"}));
    EXPECT_EQ(second.status, 404);
    EXPECT_EQ(headerValue(second.headers, "content-length"), "5");
    EXPECT_EQ(second.body, "hello");
    std::string streamed;
    const auto head = loop.blockOn(StubURLProtocol::session()->download(
        HttpRequest{}, HttpDownloadSink{nullptr, [&streamed](std::string_view piece) { streamed += piece; }}));
    EXPECT_EQ(head.status, 404);
    EXPECT_EQ(head.contentLength, 5u);
    EXPECT_EQ(streamed, "hello");

    StubURLProtocol::reset();
    auto third = loop.blockOn(session->send(HttpRequest{}));
    EXPECT_EQ(third.status, 200);
    EXPECT_EQ(third.body, "");
}

TEST(StubURLProtocolTest, ACancelledTaskGetsTheCancellationAsFromTheRealTransport) {
    AgentLoop loop;
    loop.startThread();
    auto outcomes = std::make_shared<std::vector<std::string>>();
    auto task = Task::spawn(loop.executor(), [outcomes]() -> Awaitable<void> {
        co_await sleepFor(std::chrono::hours(1)); // ends at once: the task is already cancelled
        auto session = StubURLProtocol::session();
        for (const bool download : {false, true}) {
            HttpRequest request;
            HttpDownloadSink sink;
            try {
                if (download) {
                    (void)co_await session->download(std::move(request), std::move(sink));
                } else {
                    (void)co_await session->send(std::move(request));
                }
                outcomes->push_back("reply");
            } catch (const OperationCancelled&) {
                outcomes->push_back("cancelled");
            }
        }
    });
    task->cancel();
    loop.blockOn(task->join());
    EXPECT_EQ(*outcomes, (std::vector<std::string>{"cancelled", "cancelled"}));
}

} // namespace
} // namespace varnel

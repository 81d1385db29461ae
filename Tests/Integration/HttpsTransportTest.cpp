// The server client and the libcurl transport against a real HTTPS server on 127.0.0.1 whose
// certificate a test authority signed; the client trusts that authority through SSL_CERT_FILE.
#include "LoopbackHttpsServer.hpp"
#include "VarnelKit/Agent/TemporaryDataHome.hpp"

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/Enrollment.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Platform/CurlHttpTransport.hpp"
#include "VarnelKit/Platform/Keychain.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/TransportError.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace varnel {
namespace {

using Server = testing::LoopbackHttpsServer;
using Reply = Server::Reply;
using APIError = VarnelAPIClient::APIError;
using Clock = std::chrono::steady_clock;

Reply json(int status, std::string body) { return Reply{status, {{"Content-Type", "application/json"}}, std::move(body)}; }

class HttpsTransportTest : public ::testing::Test {
protected:
    void SetUp() override { loop.startThread(); }

    VarnelAPIClient client(const Server& server, const std::string& path = "", double timeout = 30.0) {
        return VarnelAPIClient({Url(server.url(path)), "2.3.4", std::chrono::duration<double>(timeout)}, "tok");
    }

    template <class T> TransportError transportErrorOf(Awaitable<T> call) {
        return testing::thrownBy<TransportError>(loop, std::move(call)).value();
    }
    template <class T> APIError apiErrorOf(Awaitable<T> call) { return testing::thrownBy<APIError>(loop, std::move(call)).value(); }

    testing::ScopedEnvironment authority{"SSL_CERT_FILE", testing::TestCertificates::shared().caFile.string()};
    AgentLoop loop;
};

const std::string jobJson = R"({"job_id":3,"printer_id":1,"printer_key":"cups:Zebra","language":"zpl","copies":2,)"
                            R"("encoding":"base64","payload":"XlhBXlha","payload_url":null,"expires_at":"2030-01-01T00:00:00.5Z"})";

TEST_F(HttpsTransportTest, EveryOperationArrivesAsSent) {
    Server server([](const Server::Request& request) {
        const std::string& t = request.target;
        if (t.ends_with("/devices/enroll")) {
            return json(201, R"({"device_id":7,"name":"Desk","token":"new","reverb":{"key":"k","host":"ws.example","port":443,"scheme":"wss"}})");
        }
        if (t.ends_with("/heartbeat")) {
            return json(200, R"({"update":{"version":"2.4.0","download_url":"https://d.example/V.dmg","sha256":"ab","required":true}})");
        }
        if (t.ends_with("/printers") && request.method == "GET") {
            return json(200, R"({"printers":[{"key":"net:10.0.0.5","name":"Shelf","transport":"network","language":"tspl2"}]})");
        }
        if (t.ends_with("/jobs/pending")) return json(200, R"({"jobs":[{"job_id":3,"printer_id":1,"language":"zpl"}]})");
        if (t.ends_with("/jobs/3")) return json(200, jobJson);
        if (t.ends_with("/broadcasting/auth")) return json(200, R"({"auth":"k:signature"})");
        Reply empty{204, {{"Set-Cookie", "session=1; Path=/"}}, ""};
        return empty;
    });
    auto api = client(server, "/base");
    const EnrollmentRequest enrollment{"VRNL-7H3M-2QXT", "MACHINE", "host", std::nullopt, "2.3.4"};
    const ReportedPrinter printer{"cups:Zebra", "Zebra", PrinterTransport::cups, PrinterLanguage::zpl, std::nullopt,
                                  203, "online", std::nullopt, false, std::nullopt};
    const json::Date when = std::chrono::sys_days{std::chrono::year{2024} / 5 / 1};
    const AgentEventReport event{"agent_started", "Varnel started.", std::nullopt, when, std::nullopt};

    EXPECT_EQ(loop.blockOn(api.enroll(enrollment)).token, "new");
    const auto update = loop.blockOn(api.heartbeat(7, "Debian GNU/Linux 12.0.0"));
    ASSERT_TRUE(update.has_value());
    EXPECT_TRUE(update->required);
    loop.blockOn(api.syncPrinters(7, {printer}));
    EXPECT_EQ(loop.blockOn(api.assignedPrinters(7)).at(0).key, "net:10.0.0.5");
    EXPECT_EQ(loop.blockOn(api.pendingJobs(7)).at(0).jobId, 3);
    EXPECT_EQ(loop.blockOn(api.job(3)).copies, 2);
    loop.blockOn(api.submitResult(3, JobResultRequest::printed(when, when, 12)));
    loop.blockOn(api.reportEvents(7, {event}));
    EXPECT_EQ(loop.blockOn(api.authorizeChannel("123.456", "private-device.7")), "k:signature");

    struct Expected {
        std::string method;
        std::string target;
        std::optional<std::string> body;
        bool authenticated = true;
    };
    const std::vector<Expected> expected{
        {"POST", "/base/api/v1/devices/enroll", json::dump(enrollment.toJson()), false},
        {"POST", "/base/api/v1/devices/7/heartbeat", R"({"agent_version":"2.3.4","os_version":"Debian GNU/Linux 12.0.0"})"},
        {"PUT", "/base/api/v1/devices/7/printers", json::dump(PrinterSyncRequest{{printer}}.toJson())},
        {"GET", "/base/api/v1/devices/7/printers", std::nullopt},
        {"GET", "/base/api/v1/devices/7/jobs/pending", std::nullopt},
        {"GET", "/base/api/v1/jobs/3", std::nullopt},
        {"POST", "/base/api/v1/jobs/3/result",
         R"({"state":"printed","started_at":"2024-05-01T00:00:00Z","finished_at":"2024-05-01T00:00:00Z","bytes_written":12})"},
        {"POST", "/base/api/v1/devices/7/events",
         R"({"events":[{"kind":"agent_started","message":"Varnel started.","occurred_at":"2024-05-01T00:00:00Z"}]})"},
        {"POST", "/base/api/broadcasting/auth", R"({"socket_id":"123.456","channel_name":"private-device.7"})"},
    };
    const auto received = server.requests();
    ASSERT_EQ(received.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].target);
        const auto& request = received[i];
        EXPECT_EQ(request.method, expected[i].method);
        EXPECT_EQ(request.target, expected[i].target);
        EXPECT_EQ(request.body, expected[i].body.value_or(""));
        EXPECT_EQ(headerValue(request.headers, "Accept"), "application/json");
        EXPECT_EQ(headerValue(request.headers, "X-Varnel-Agent-Version"), "2.3.4");
        EXPECT_EQ(headerValue(request.headers, "Authorization"),
                  expected[i].authenticated ? std::optional<std::string>("Bearer tok") : std::nullopt);
        EXPECT_EQ(headerValue(request.headers, "Content-Type"),
                  expected[i].body ? std::optional<std::string>("application/json") : std::nullopt);
        // No compression, no cookie kept from an earlier reply, no 100-continue round trip.
        EXPECT_EQ(headerValue(request.headers, "Accept-Encoding"), std::nullopt);
        EXPECT_EQ(headerValue(request.headers, "Cookie"), std::nullopt);
        EXPECT_EQ(headerValue(request.headers, "Expect"), std::nullopt);
    }
}

TEST_F(HttpsTransportTest, RepliesMapToResultsAndErrors) {
    // The first path segment names the status to answer with.
    Server server([](const Server::Request& request) {
        const int status = std::stoi(request.target.substr(1, 3));
        if (status == 410 && request.target.starts_with("/410/coded")) return json(410, R"({"error_code":"job_cancelled"})");
        if (status == 426) return json(426, R"({"minimum_version":"2.0.0"})");
        return json(status, status == 500 ? "oops" : "");
    });
    EXPECT_NO_THROW(loop.blockOn(client(server, "/204").syncPrinters(1, {})));
    EXPECT_EQ(apiErrorOf(client(server, "/401").job(1)).kind(), APIError::Kind::credentialRejected);
    EXPECT_EQ(apiErrorOf(client(server, "/403").job(1)).kind(), APIError::Kind::credentialRejected);
    EXPECT_EQ(apiErrorOf(client(server, "/410/coded").job(1)).code(), "job_cancelled");
    EXPECT_EQ(apiErrorOf(client(server, "/410").job(1)).description(), "Job no longer available (gone)");
    EXPECT_EQ(apiErrorOf(client(server, "/426").heartbeat(1, std::nullopt)).text(), "2.0.0");
    EXPECT_EQ(apiErrorOf(client(server, "/500").job(1)).description(), "HTTP 500: oops");
    // A redirect without a place to go is not followed: the client sees the 3xx.
    EXPECT_EQ(apiErrorOf(client(server, "/302").job(1)).status(), 302);
    EXPECT_EQ(apiErrorOf(client(server, "/200").job(1)).kind(), APIError::Kind::decoding);
}

TEST_F(HttpsTransportTest, AnUntrustedCertificateIsRefused) {
    Server server([](const Server::Request&) { return json(200, "{}"); });
    testing::ScopedEnvironment other("SSL_CERT_FILE", testing::TestCertificates::shared().otherCaFile.string());
    const auto error = transportErrorOf(client(server).syncPrinters(1, {}));
    EXPECT_EQ(error.code(), TransportError::Code::secureConnectionFailed);
    EXPECT_EQ(error.description(), "An SSL error has occurred and a secure connection to the server cannot be made.");
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(HttpsTransportTest, RedirectsStayOnHttpsAndAreBounded) {
    Server server([](const Server::Request& request) {
        if (request.target.starts_with("/downgrade")) return Reply{302, {{"Location", "http://127.0.0.1:9/stolen"}}, ""};
        if (request.target.starts_with("/loop")) return Reply{302, {{"Location", request.target + "x"}}, ""};
        if (request.target.starts_with("/moved")) return Reply{307, {{"Location", "/final/api/v1/jobs/3"}}, ""};
        return json(200, jobJson);
    });
    EXPECT_EQ(loop.blockOn(client(server, "/moved").job(3)).jobId, 3);
    EXPECT_EQ(server.requests().back().target, "/final/api/v1/jobs/3");

    const auto downgrade = transportErrorOf(client(server, "/downgrade").job(3));
    EXPECT_EQ(downgrade.code(), TransportError::Code::secureConnectionFailed);

    const std::size_t before = server.requests().size();
    EXPECT_EQ(transportErrorOf(client(server, "/loop").job(3)).code(), TransportError::Code::tooManyRedirects);
    EXPECT_EQ(server.requests().size() - before, 6u); // the request and 5 redirects
}

TEST_F(HttpsTransportTest, ASilentServerTimesOut) {
    Server server([](const Server::Request&) { return Reply{200, {}, "", Reply::Mode::silent}; });
    const auto started = Clock::now();
    const auto error = transportErrorOf(client(server, "", 1.0).job(1));
    const auto elapsed = Clock::now() - started;
    EXPECT_EQ(error.code(), TransportError::Code::timedOut);
    EXPECT_EQ(error.description(), "The request timed out.");
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
}

TEST_F(HttpsTransportTest, CancellingTheTaskEndsTheRequestAtOnce) {
    Server server([](const Server::Request&) { return Reply{200, {}, "", Reply::Mode::silent}; });
    auto api = std::make_shared<VarnelAPIClient>(client(server));
    auto outcome = std::make_shared<std::string>();
    const auto outcomeOf = [api, outcome]() -> Awaitable<void> {
        try {
            co_await api->syncPrinters(1, {});
            *outcome = "sent";
        } catch (const OperationCancelled&) {
            *outcome = "cancelled";
        } catch (const std::exception& error) {
            *outcome = std::string("failed: ") + error.what();
        }
    };
    auto task = Task::spawn(loop.executor(), outcomeOf);
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(10)));
    const auto started = Clock::now();
    task->cancel();
    loop.blockOn(task->join());
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(*outcome, "cancelled");

    // A task that is already cancelled sends nothing more.
    outcome->clear();
    auto late = Task::spawn(loop.executor(), [outcomeOf]() -> Awaitable<void> {
        co_await sleepFor(std::chrono::hours(1));
        co_await outcomeOf();
    });
    late->cancel();
    loop.blockOn(late->join());
    EXPECT_EQ(*outcome, "cancelled");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(HttpsTransportTest, ALargeDownloadIsStreamedOffTheLoop) {
    constexpr std::uint64_t total = 30ull * 1024 * 1024;
    Server server([](const Server::Request&) { return Reply{200, {}, "", Reply::Mode::stream, total}; });
    CurlHttpTransport transport;

    struct Progress {
        std::optional<HttpResponseHead> head;
        std::uint64_t received = 0;
        std::uint64_t sentByServerAtFirstPiece = 0;
        std::size_t largestPiece = 0;
        bool patternHeld = true;
        bool ranOnLoop = false;
    };
    auto progress = std::make_shared<Progress>();
    std::thread::id loopThread;
    loop.blockOn([](std::thread::id* id) -> Awaitable<void> {
        *id = std::this_thread::get_id();
        co_return;
    }(&loopThread));

    HttpDownloadSink sink{
        [progress](const HttpResponseHead& head) { progress->head = head; },
        [progress, &server, loopThread](std::string_view piece) {
            if (progress->received == 0) progress->sentByServerAtFirstPiece = server.streamedBytes();
            progress->ranOnLoop = progress->ranOnLoop || std::this_thread::get_id() == loopThread;
            for (std::size_t i = 0; i < piece.size(); ++i) {
                if (piece[i] != Server::patternByte(progress->received + i)) progress->patternHeld = false;
            }
            progress->received += piece.size();
            progress->largestPiece = std::max(progress->largestPiece, piece.size());
        }};
    HttpRequest request{"GET", server.url("/update.dmg"), {}, std::nullopt, std::chrono::seconds(10)};
    const auto head = loop.blockOn(transport.download(request, sink));

    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.contentLength, total);
    ASSERT_TRUE(progress->head.has_value());
    EXPECT_EQ(progress->head->contentLength, total);
    EXPECT_EQ(progress->received, total);
    EXPECT_TRUE(progress->patternHeld);
    EXPECT_FALSE(progress->ranOnLoop);
    // The first piece arrived long before the server had written everything.
    EXPECT_LT(progress->sentByServerAtFirstPiece, total / 2);
    EXPECT_LE(progress->largestPiece, 1024u * 1024u);
}

TEST_F(HttpsTransportTest, AFailingSinkStopsTheDownloadWithItsOwnError) {
    Server server([](const Server::Request&) { return Reply{200, {}, "", Reply::Mode::stream, 8ull * 1024 * 1024}; });
    CurlHttpTransport transport;
    HttpDownloadSink sink{nullptr, [](std::string_view) { throw std::runtime_error("disk full"); }};
    const auto error = testing::thrownBy<std::runtime_error>(
        loop, transport.download(HttpRequest{"GET", server.url("/x"), {}, std::nullopt}, sink));
    EXPECT_STREQ(error.value().what(), "disk full");
}

class EnrollOverHttpsTest : public HttpsTransportTest {
protected:
    Awaitable<Enrollment::Success> enroll(const Server& server) {
        Enrollment enrollment({[] { return std::optional<std::string>("3D1219C7-C4C5-404A-AA1F-6D2A48ADFDA4"); }, nullptr});
        co_return co_await enrollment.enroll("127.0.0.1:" + std::to_string(server.port()), " vrnl-7h3m-2qxt ", "1.0.4",
                                             store);
    }

    testing::TemporaryDataHome home;
    const CredentialStore store = CredentialStore::deviceToken();
};

TEST_F(EnrollOverHttpsTest, StoresTheTokenPrivatelyAndTheSettings) {
    Server server([](const Server::Request&) {
        return json(201, R"({"device_id":12,"name":"Front desk","token":"device-secret",)"
                         R"("reverb":{"key":"app","host":"ws.example","port":443,"scheme":"https"}})");
    });
    const auto success = loop.blockOn(enroll(server));
    EXPECT_EQ(success, (Enrollment::Success{12, "Front desk"}));

    const auto received = server.requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].target, "/api/v1/devices/enroll");
    const auto body = json::parse(received[0].body);
    EXPECT_EQ(json::requireString(body, "enrollment_code"), "VRNL-7H3M-2QXT");
    EXPECT_EQ(json::requireString(body, "machine_id"), "3D1219C7-C4C5-404A-AA1F-6D2A48ADFDA4");
    EXPECT_EQ(headerValue(received[0].headers, "Authorization"), std::nullopt);

    EXPECT_EQ(store.load(), "device-secret");
    const auto item = Keychain::itemPath(store.service, store.account);
    EXPECT_EQ(testing::modeOf(item), 0600u);
    EXPECT_EQ(testing::modeOf(item.parent_path()), 0700u);
    EXPECT_EQ(testing::modeOf(home.varnel() / "Keychain"), 0700u);

    const auto settings = AgentSettings::load();
    ASSERT_TRUE(settings.has_value());
    EXPECT_EQ(settings->deviceId, 12);
    EXPECT_EQ(settings->serverURL.buffer(), server.url());
    EXPECT_EQ(settings->reverb.host, "ws.example");
}

} // namespace
} // namespace varnel

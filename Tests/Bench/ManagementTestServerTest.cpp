// The management server against the agent's own API client over real HTTPS (libcurl), so a reply
// the client cannot decode, a check the server skips or a fault that fires the wrong number of
// times shows up here rather than as a confusing end-to-end failure.
#include "Bench/TestBench.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/TransportError.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace varnel::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using APIError = VarnelAPIClient::APIError;
using Operation = ManagementOperation;
using namespace std::chrono_literals;

class ManagementTestServerTest : public ::testing::Test {
protected:
    void SetUp() override { loop.startThread(); }

    std::shared_ptr<VarnelAPIClient> client(std::optional<std::string> token, double timeout = 10.0) {
        VarnelAPIClient::Configuration configuration{*parseAbsoluteUrl(bench.management().baseUrl()), "1.2.3",
                                                     std::chrono::duration<double>(timeout)};
        return std::make_shared<VarnelAPIClient>(std::move(configuration), std::move(token));
    }
    std::shared_ptr<VarnelAPIClient> agent() { return client(bench.token()); }

    template <class T> T call(Awaitable<T> awaitable) { return loop.blockOn(std::move(awaitable)); }
    template <class T> APIError apiErrorOf(Awaitable<T> awaitable) {
        return thrownBy<APIError>(loop, std::move(awaitable)).value_or(APIError::decoding("no error"));
    }

    std::int64_t deviceId() const { return bench.agentSettings().deviceId; }

    ScopedEnvironment authority{"SSL_CERT_FILE", TestBench::caFile().string()};
    TestBench bench;
    AgentLoop loop; // after the bench: its transfers end before the servers go
};

TEST_F(ManagementTestServerTest, ChecksTheBearerTokenOfEveryOperationButEnrollment) {
    const auto stranger = client("not-the-token");
    EXPECT_EQ(apiErrorOf(stranger->heartbeat(deviceId(), "Debian 12")).kind(), APIError::Kind::credentialRejected);
    EXPECT_EQ(apiErrorOf(stranger->pendingJobs(deviceId())).kind(), APIError::Kind::credentialRejected);
    auto snapshot = bench.management().snapshot();
    EXPECT_EQ(snapshot.unauthorized, 2u);
    EXPECT_TRUE(snapshot.heartbeats.empty());
    EXPECT_EQ(snapshot.pendingFetches, 0u);

    EXPECT_EQ(call(agent()->heartbeat(deviceId(), "Debian 12")), std::nullopt);
    // Another device's routes and channel are refused even with a good token.
    EXPECT_EQ(apiErrorOf(agent()->heartbeat(deviceId() + 1, std::nullopt)).kind(),
              APIError::Kind::credentialRejected);
    EXPECT_EQ(apiErrorOf(agent()->authorizeChannel("1.2", "private-device.999")).kind(),
              APIError::Kind::credentialRejected);
    snapshot = bench.management().snapshot();
    ASSERT_EQ(snapshot.heartbeats.size(), 1u);
    EXPECT_EQ(snapshot.heartbeats[0]["agent_version"], "1.2.3");
    EXPECT_EQ(snapshot.heartbeats[0]["os_version"], "Debian 12");

    // Enrollment needs the code, not a token, and hands out settings that lead back to the bench.
    const auto anonymous = client(std::nullopt);
    EXPECT_EQ(apiErrorOf(anonymous->enroll(EnrollmentRequest{"WRONG", "m-1", {}, {}, {}})).status(), 422);
    const auto enrolled = call(anonymous->enroll(EnrollmentRequest{"BENCH-0001", "m-1", "host", {}, "1.2.3"}));
    EXPECT_EQ(enrolled.deviceId, deviceId());
    EXPECT_EQ(enrolled.token, bench.token());
    EXPECT_EQ(enrolled.reverb, bench.agentSettings().reverb);
    EXPECT_EQ(enrolled.reverb.port, bench.pusher().wssPort());
    ASSERT_EQ(bench.management().snapshot().enrollments.size(), 1u);
}

TEST_F(ManagementTestServerTest, APendingJobLeavesTheListOnlyWhenAResultIsAccepted) {
    const auto pendingJob = bench.management().createJob(
        {.printerKey = "net:127.0.0.1:9", .payload = "^XA^XZ", .copies = 2, .delivery = JobDelivery::pending});
    const auto pushedJob = bench.management().createJob({.printerKey = "cups:Office", .language = "pdf",
                                                         .payload = "JVBERi0=", .encoding = "base64"});
    const auto api = agent();
    auto pending = call(api->pendingJobs(deviceId()));
    ASSERT_EQ(pending.size(), 1u) << "a pushed-only job is not listed";
    EXPECT_EQ(pending[0], (PendingJob{pendingJob, 1, PrinterLanguage::zpl}));

    const auto job = call(api->job(pendingJob));
    EXPECT_EQ(job.printerKey, "net:127.0.0.1:9");
    EXPECT_EQ(job.copies, 2);
    EXPECT_EQ(job.bytes(), bytesOf(std::string("^XA^XZ")));
    EXPECT_FALSE(job.hasExpired());
    EXPECT_EQ(call(api->job(pushedJob)).bytes(), bytesOf(std::string("%PDF-")));

    // A report the server failed to take leaves the job pending and is not kept as a result.
    bench.management().failNext(Operation::result, 500);
    const auto now = std::chrono::system_clock::now();
    EXPECT_EQ(apiErrorOf(api->submitResult(pendingJob, JobResultRequest::printed(now, now, 6))).status(), 500);
    EXPECT_EQ(bench.management().pendingJobIds(), std::vector<std::int64_t>{pendingJob});
    EXPECT_EQ(bench.management().snapshot().resultCount(pendingJob), 0u);

    call(api->submitResult(pendingJob, JobResultRequest::printed(now, now, 6)));
    call(api->submitResult(pendingJob, JobResultRequest::failed(JobError(JobErrorCode::internalError, "x"), now, now)));
    EXPECT_TRUE(call(api->pendingJobs(deviceId())).empty());
    const auto snapshot = bench.management().snapshot();
    ASSERT_EQ(snapshot.resultCount(pendingJob), 2u);
    EXPECT_EQ(snapshot.results.at(pendingJob)[0]["state"], "printed");
    EXPECT_EQ(snapshot.results.at(pendingJob)[0]["bytes_written"], 6);
    EXPECT_EQ((*snapshot.lastResult(pendingJob))["state"], "failed");
    EXPECT_EQ(snapshot.jobFetches, (std::vector<std::int64_t>{pendingJob, pushedJob}));
}

TEST_F(ManagementTestServerTest, AFaultAnswersExactlyTheNextCountRequestsOfItsOperation) {
    const auto api = agent();
    bench.management().failNext(Operation::heartbeat, 500, 2);
    bench.management().failNext(Operation::heartbeat, 426);
    bench.management().failNext(Operation::heartbeat, 426, 1, R"({"minimum_version":"3.1.0"})");
    EXPECT_EQ(apiErrorOf(api->heartbeat(deviceId(), std::nullopt)).status(), 500);
    // Another operation is untouched by the heartbeat's faults.
    EXPECT_TRUE(call(api->pendingJobs(deviceId())).empty());
    EXPECT_EQ(apiErrorOf(api->heartbeat(deviceId(), std::nullopt)).status(), 500);
    const auto required = apiErrorOf(api->heartbeat(deviceId(), std::nullopt));
    EXPECT_EQ(required.kind(), APIError::Kind::upgradeRequired);
    EXPECT_EQ(required.text(), "99.0.0");
    EXPECT_EQ(apiErrorOf(api->heartbeat(deviceId(), std::nullopt)).text(), "3.1.0");
    EXPECT_EQ(call(api->heartbeat(deviceId(), std::nullopt)), std::nullopt);

    std::vector<int> statuses;
    for (const auto& request : bench.management().snapshot().requests) {
        if (request.operation == Operation::heartbeat)
            statuses.push_back(request.status);
    }
    EXPECT_EQ(statuses, (std::vector<int>{500, 500, 426, 426, 200}));

    // A removed job is gone; an expired one is still served, with its expiry in the past.
    const auto removed = bench.management().createJob({.printerKey = "net:127.0.0.1:9", .payload = "A"});
    const auto expired = bench.management().createJob({.printerKey = "net:127.0.0.1:9", .payload = "B"});
    bench.management().remove(removed);
    bench.management().expire(expired);
    const auto gone = apiErrorOf(api->job(removed));
    EXPECT_EQ(gone.kind(), APIError::Kind::gone);
    EXPECT_EQ(gone.code(), "job_gone");
    EXPECT_TRUE(call(api->job(expired)).hasExpired());
}

TEST_F(ManagementTestServerTest, AStalledRequestIsAnsweredOnlyAfterItsRelease) {
    const auto api = agent();
    bench.management().createJob({.printerKey = "net:127.0.0.1:9", .payload = "A", .delivery = JobDelivery::pending});
    bench.management().stallNext(Operation::pendingJobs);
    auto held = asio::co_spawn(loop.executor(), api->pendingJobs(deviceId()), asio::use_future);
    ASSERT_TRUE(bench.management().waitFor([](const auto& s) { return s.stalled == 1; }, 5s));
    EXPECT_EQ(held.wait_for(300ms), std::future_status::timeout);
    bench.management().releaseStalled();
    ASSERT_EQ(held.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(held.get().size(), 1u);

    // A client that gives up ends the hold; the server answers the next request at once.
    bench.management().stallNext(Operation::heartbeat);
    const auto impatient = client(bench.token(), 0.5);
    const auto timedOut = thrownBy<TransportError>(loop, impatient->heartbeat(deviceId(), std::nullopt));
    ASSERT_TRUE(timedOut);
    EXPECT_EQ(timedOut->code(), TransportError::Code::timedOut);
    ASSERT_TRUE(bench.management().waitFor([](const auto& s) { return s.stalled == 0; }, 5s));
    EXPECT_EQ(call(api->heartbeat(deviceId(), std::nullopt)), std::nullopt);
    const auto snapshot = bench.management().snapshot();
    EXPECT_EQ(snapshot.heartbeats.size(), 1u) << "the abandoned request is not counted as answered";
}

// Reads text frames from a plain WebSocket to the Pusher server.
class ChannelListener {
public:
    explicit ChannelListener(unsigned short port) : ws_(context_) {
        const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
        beast::get_lowest_layer(ws_).connect(endpoint);
        ws_.handshake("127.0.0.1:" + std::to_string(port), "/app/varnel-test-key?protocol=7");
    }
    nlohmann::json next() {
        beast::flat_buffer buffer;
        ws_.read(buffer);
        auto frame = nlohmann::json::parse(beast::buffers_to_string(buffer.data()));
        if (frame.contains("data") && frame["data"].is_string()) {
            auto data = nlohmann::json::parse(frame["data"].get<std::string>(), nullptr, false);
            if (!data.is_discarded())
                frame["data"] = data;
        }
        return frame;
    }
    void send(const nlohmann::json& frame) { ws_.write(asio::buffer(frame.dump())); }

private:
    asio::io_context context_;
    beast::websocket::stream<beast::tcp_stream> ws_;
};

TEST_F(ManagementTestServerTest, SignsTheDevicesChannelAndAnnouncesPushedJobsOnIt) {
    ChannelListener listener(bench.pusher().wsPort());
    const auto established = listener.next();
    ASSERT_EQ(established["event"], "pusher:connection_established");
    const std::string socketId = established["data"]["socket_id"];
    const std::string channel = bench.management().channelName();
    EXPECT_EQ(channel, "private-device." + std::to_string(deviceId()));
    const auto auth = call(agent()->authorizeChannel(socketId, channel));
    listener.send({{"event", "pusher:subscribe"}, {"data", {{"channel", channel}, {"auth", auth}}}});
    ASSERT_EQ(listener.next()["event"], "pusher_internal:subscription_succeeded");

    // A pending-only job is not announced, so the first announcement is the pushed job's.
    bench.management().createJob({.printerKey = "net:127.0.0.1:9", .payload = "A", .delivery = JobDelivery::pending});
    const auto both = bench.management().createJob(
        {.printerKey = "net:127.0.0.1:9", .payload = "B", .delivery = JobDelivery::both});
    auto frame = listener.next();
    EXPECT_EQ(frame["event"], "job.created");
    EXPECT_EQ(frame["channel"], channel);
    EXPECT_EQ(frame["data"], nlohmann::json({{"job_id", both}}));
    bench.management().push(both);
    EXPECT_EQ(listener.next()["data"]["job_id"], both);
    EXPECT_EQ(bench.management().pendingJobIds().size(), 2u);
}

TEST_F(ManagementTestServerTest, KeepsConnectionsAliveAndComesBackOnTheSamePortsAfterARestart) {
    const auto api = agent();
    call(api->heartbeat(deviceId(), std::nullopt));
    call(api->heartbeat(deviceId(), std::nullopt));
    EXPECT_EQ(bench.management().snapshot().connectionsAccepted, 1u) << "a kept-alive connection was not reused";

    ChannelListener listener(bench.pusher().wsPort());
    ASSERT_EQ(listener.next()["event"], "pusher:connection_established");
    const auto managementPort = bench.management().port();
    const auto wssPort = bench.pusher().wssPort();
    const auto wsPort = bench.pusher().wsPort();
    bench.restart(100ms);
    EXPECT_EQ(bench.management().port(), managementPort);
    EXPECT_EQ(bench.pusher().wssPort(), wssPort);
    EXPECT_THROW(listener.next(), boost::system::system_error) << "the restart left a WebSocket open";
    ASSERT_TRUE(bench.management().waitFor([](const auto& s) { return s.openConnections == 0; }, 5s));

    call(api->heartbeat(deviceId(), std::nullopt));
    const auto snapshot = bench.management().snapshot();
    EXPECT_EQ(snapshot.connectionsAccepted, 2u);
    EXPECT_EQ(snapshot.heartbeats.size(), 3u) << "records survive a restart";
    EXPECT_EQ(snapshot.restarts, 1u);
    ChannelListener again(wsPort);
    EXPECT_EQ(again.next()["event"], "pusher:connection_established");
}

// Another program that asks for a port while the bench is down (a listener, or a connection's own
// end) must not be given one of its ports, or the bench cannot come back on them.
TEST_F(ManagementTestServerTest, NoOneElseGetsItsPortsWhileARestartIsDown) {
    const auto loopback = [](unsigned short port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    };
    // Whether a socket of its own binds to the port, or connects to it.
    const auto reaches = [&](unsigned short port, bool bind) {
        const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int reuse = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        const auto address = loopback(port);
        const auto* const name = reinterpret_cast<const sockaddr*>(&address);
        const bool done = (bind ? ::bind(socket, name, sizeof address) : ::connect(socket, name, sizeof address)) == 0;
        ::close(socket);
        return done;
    };
    const std::vector<unsigned short> ports = {bench.management().port(), bench.pusher().wsPort(),
                                               bench.pusher().wssPort()};
    auto restarted = std::async(std::launch::async, [this] { bench.restart(1s); });
    // Down once the last of its ports refuses connections.
    ASSERT_TRUE(eventually([&] { return !reaches(ports[2], false); }));
    for (const auto port : ports) EXPECT_FALSE(reaches(port, true)) << "port " << port << " was free to take";
    EXPECT_NO_THROW(restarted.get());
    EXPECT_NO_THROW(call(agent()->heartbeat(deviceId(), std::nullopt)));
    EXPECT_EQ(bench.management().port(), ports[0]);
}

} // namespace
} // namespace varnel::testing

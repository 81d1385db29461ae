// The self-updater over the real libcurl transport against HTTPS servers on 127.0.0.1: a whole
// install from a served image, a large streamed body, an error status, a redirect to http, a
// connection that breaks off midway, and the bounds of a download: a body without end, an
// announced length too large, and a trickle.
#include "LoopbackHttpsServer.hpp"
#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Agent/TemporaryDataHome.hpp"
#include "VarnelKit/Platform/CurlHttpTransport.hpp"
#include "VarnelKit/Platform/UpdateImage.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Support/Sha256.hpp"

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <thread>

namespace varnel {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace varnel::testing;
using Server = LoopbackHttpsServer;
using Failure = AgentUpdater::Failure;
using AgentUpdate = VarnelAPIClient::AgentUpdate;
using tcp = asio::ip::tcp;

using TlsStream = asio::ssl::stream<tcp::socket>;

// Answers every request by running its reply on the connection, then drops the connection without
// closing TLS, as a failing network does. A reply may take its time: the server's own loop runs it.
class ScriptedServer {
public:
    using Reply = std::function<asio::awaitable<void>(TlsStream&)>;

    explicit ScriptedServer(Reply reply) : reply_(std::move(reply)) {
        const auto& certificates = TestCertificates::shared();
        tls_.use_certificate_chain_file(certificates.certificateFile.string());
        tls_.use_private_key_file(certificates.keyFile.string(), asio::ssl::context::pem);
        const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
        acceptor_.open(endpoint.protocol());
        acceptor_.bind(endpoint);
        acceptor_.listen();
        asio::co_spawn(context_, acceptLoop(), asio::detached);
        thread_ = std::thread([this] { context_.run(); });
    }
    ~ScriptedServer() {
        context_.stop();
        thread_.join();
    }

    std::string url(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()) + path;
    }

private:
    asio::awaitable<void> acceptLoop() {
        for (;;) {
            tcp::socket socket = co_await acceptor_.async_accept(asio::use_awaitable);
            asio::co_spawn(context_, serve(std::move(socket)), asio::detached);
        }
    }

    asio::awaitable<void> serve(tcp::socket socket) {
        try {
            TlsStream stream(std::move(socket), tls_);
            co_await stream.async_handshake(asio::ssl::stream_base::server, asio::use_awaitable);
            std::string request;
            co_await asio::async_read_until(stream, asio::dynamic_buffer(request), "\r\n\r\n",
                                            asio::use_awaitable);
            co_await reply_(stream);
            stream.next_layer().close();
        } catch (const std::exception&) {
            // The client went first.
        }
    }

    Reply reply_;
    asio::io_context context_;
    asio::ssl::context tls_{asio::ssl::context::tls_server};
    tcp::acceptor acceptor_{context_};
    std::thread thread_;
};

asio::awaitable<void> pause(std::chrono::milliseconds length) {
    asio::steady_timer timer(co_await asio::this_coro::executor, length);
    co_await timer.async_wait(asio::use_awaitable);
}

// The bytes of a streamed body from `offset` on, as LoopbackHttpsServer streams them.
std::string patternPiece(std::uint64_t offset, std::size_t size) {
    std::string piece(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        piece[i] = Server::patternByte(offset + i);
    return piece;
}

std::string patternDigest(std::uint64_t size) {
    Sha256 digest;
    for (std::uint64_t offset = 0; offset < size; offset += 64 * 1024)
        digest.update(patternPiece(
            offset, static_cast<std::size_t>(std::min<std::uint64_t>(64 * 1024, size - offset))));
    return digest.finishHex();
}

// A head that announces `length` bytes (none: the body ends with the connection), then `count`
// pieces of `piece` bytes of the pattern, `every` apart.
ScriptedServer::Reply paced(std::optional<std::uint64_t> length, std::size_t piece, std::uint64_t count,
                            std::chrono::milliseconds every = std::chrono::milliseconds(0)) {
    return [=](TlsStream& stream) -> asio::awaitable<void> {
        const std::string head =
            "HTTP/1.1 200 OK\r\n" +
            (length ? "Content-Length: " + std::to_string(*length) : std::string("Connection: close")) +
            "\r\n\r\n";
        co_await asio::async_write(stream, asio::buffer(head), asio::use_awaitable);
        for (std::uint64_t i = 0; i < count; ++i) {
            if (every.count() > 0)
                co_await pause(every);
            const std::string bytes = patternPiece(i * piece, piece);
            co_await asio::async_write(stream, asio::buffer(bytes), asio::use_awaitable);
        }
    };
}

class UpdateDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        loop.startThread();
        fs::create_directories(temporary);
    }

    AgentUpdater updater(AgentUpdater::DownloadBounds bounds = {}) {
        AgentUpdater::Places places{installed, temporary, nullptr};
        places.downloadBounds = bounds;
        return AgentUpdater(logger, std::make_shared<CurlHttpTransport>(), places);
    }

    static AgentUpdate offer(const std::string& url, const std::string& checksum) {
        return AgentUpdate{"2.4.0", Url(url), std::nullopt, checksum, false};
    }

    std::optional<Failure> downloadFailure(const AgentUpdate& update,
                                           AgentUpdater::DownloadBounds bounds = {},
                                           AgentUpdater::Progress progress = nullptr) {
        return thrownBy<Failure>([&] {
            auto u = updater(bounds);
            loop.blockOn(u.download(update, progress));
        });
    }

    // Downloads and gives the size of the image kept.
    std::uintmax_t downloadedSize(const AgentUpdate& update, AgentUpdater::DownloadBounds bounds) {
        auto u = updater(bounds);
        return fs::file_size(loop.blockOn(u.download(update, nullptr)));
    }

    fs::path staged() const { return home.varnel() / "updates" / "Varnel-2.4.0.dmg"; }

    std::vector<std::string> stagedNames() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(staged().parent_path()))
            names.push_back(entry.path().filename());
        return names;
    }

    ScopedEnvironment authority{"SSL_CERT_FILE", TestCertificates::shared().caFile.string()};
    TemporaryDataHome home;
    TemporaryDirectory root;
    fs::path temporary = root.path() / "tmp";
    fs::path installed = root.path() / "Applications" / "Varnel.app";
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    AgentLoop loop;
};

TEST_F(UpdateDownloadTest, InstallsAnImageServedOverHttps) {
    const fs::path made = root.path() / "made.dmg";
    writeImage(made, releaseBundle());
    const std::string image = readFile(made);
    Server server([&](const Server::Request&) { return Server::Reply{200, {}, image}; });

    std::mutex mutex;
    std::vector<double> reports;
    const auto progress = [&](double f) {
        std::lock_guard lock(mutex);
        reports.push_back(f);
    };
    auto u = updater();
    EXPECT_EQ(loop.blockOn(u.install(offer(server.url("/Varnel-2.4.0.dmg"), Sha256::hex(image)), progress)),
              installed);

    EXPECT_EQ(readFile(installed / "bin" / "VarnelMenuBar"), "#!/bin/sh\necho 2.4.0\n");
    EXPECT_EQ(fs::read_symlink(installed / "current"), "bin/VarnelMenuBar");
    EXPECT_EQ(readFile(staged()), image);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/Varnel-2.4.0.dmg");
    std::lock_guard lock(mutex);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), 1.0);
}

TEST_F(UpdateDownloadTest, ALargeBodyIsStreamedAndHashedAsItArrives) {
    constexpr std::uint64_t size = 16 * 1024 * 1024;
    Server server([&](const Server::Request&) {
        Server::Reply reply;
        reply.mode = Server::Reply::Mode::stream;
        reply.streamBytes = size;
        return reply;
    });
    std::atomic<int> reports{0};
    auto u = updater();
    const fs::path file = loop.blockOn(
        u.download(offer(server.url("/big.dmg"), patternDigest(size)), [&](double) { ++reports; }));
    EXPECT_EQ(fs::file_size(file), size);
    EXPECT_EQ(readFile(file).substr(size - 3),
              std::string({Server::patternByte(size - 3), Server::patternByte(size - 2),
                           Server::patternByte(size - 1)}));
    // One report per percent and the last: 100 for a length that 100 divides evenly.
    EXPECT_GE(reports.load(), 99);
    EXPECT_LE(reports.load(), 100);
}

TEST_F(UpdateDownloadTest, AnErrorStatusOrARedirectToHttpIsUnreachable) {
    Server server([](const Server::Request& request) {
        if (request.target == "/moved")
            return Server::Reply{302, {{"Location", "http://127.0.0.1:1/Varnel.dmg"}}, ""};
        return Server::Reply{404, {}, ""};
    });
    EXPECT_EQ(downloadFailure(offer(server.url("/missing"), Sha256::hex(""))),
              Failure::unreachable("HTTP 404: "));
    const auto redirected = downloadFailure(offer(server.url("/moved"), Sha256::hex("")));
    ASSERT_TRUE(redirected);
    EXPECT_EQ(redirected->kind(), Failure::Kind::unreachable);
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(stagedNames(), std::vector<std::string>());
}

TEST_F(UpdateDownloadTest, AConnectionThatBreaksOffMidwayLeavesNoImageOfThatVersion) {
    fs::create_directories(staged().parent_path());
    writeFile(staged(), "the image verified yesterday");
    ScriptedServer server(paced(1024 * 1024, 64 * 1024, 4));
    const auto failure = downloadFailure(offer(server.url("/Varnel.dmg"), patternDigest(1024 * 1024)));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Failure::Kind::unreachable) << failure->description();
    EXPECT_EQ(stagedNames(), std::vector<std::string>());
}

constexpr std::uint64_t mebibyte = 1024 * 1024;

// A body without a length, which a server can send without end, is cut as it passes the largest
// size, and nothing of it stays; a body of exactly that size is an update still.
TEST_F(UpdateDownloadTest, ABodyWithoutAnEndIsCutAtTheLargestSize) {
    AgentUpdater::DownloadBounds bounds;
    bounds.largest = 4 * mebibyte;
    // It does end, at 64 MiB, so that a download that is not cut ends too.
    ScriptedServer endless(paced(std::nullopt, 64 * 1024, 1024));
    EXPECT_EQ(downloadFailure(offer(endless.url("/Varnel.dmg"), patternDigest(64 * mebibyte)), bounds),
              Failure::unreachable("It went on past 4 MiB, more than an update may be, so it was stopped."));
    EXPECT_EQ(stagedNames(), std::vector<std::string>());

    ScriptedServer exact(paced(std::nullopt, 64 * 1024, 64));
    EXPECT_EQ(downloadedSize(offer(exact.url("/Varnel.dmg"), patternDigest(4 * mebibyte)), bounds),
              4 * mebibyte);
}

// A head that announces more than the largest size is refused as it arrives: before any of the body,
// and without waiting for a body that may never come.
TEST_F(UpdateDownloadTest, AnAnnouncedLengthAboveTheLargestSizeIsRefusedAtTheHead) {
    ScriptedServer server([](TlsStream& stream) -> asio::awaitable<void> {
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n\r\n";
        co_await asio::async_write(stream, asio::buffer(head), asio::use_awaitable);
        char byte = 0;
        co_await stream.async_read_some(asio::buffer(&byte, 1), asio::use_awaitable); // until the client goes
    });
    std::atomic<int> reports{0};
    EXPECT_EQ(
        downloadFailure(offer(server.url("/Varnel.dmg"), patternDigest(0)), {}, [&](double) { ++reports; }),
        Failure::unreachable("The server announced 2147483648 bytes, more than the 1 GiB an update may be."));
    EXPECT_EQ(reports.load(), 0);
    EXPECT_EQ(stagedNames(), std::vector<std::string>());
}

// A trickle never lets a wait for data run out; the slowest rate ends it. A download well above
// that rate goes through however many of its periods it takes.
TEST_F(UpdateDownloadTest, ATrickleIsCutAtTheSlowestRate) {
    using namespace std::chrono_literals;
    AgentUpdater::DownloadBounds bounds;
    bounds.period = 1s;
    // 50 bytes a second, for 20 seconds.
    ScriptedServer trickle(paced(std::nullopt, 1, 1000, 20ms));
    EXPECT_EQ(downloadFailure(offer(trickle.url("/Varnel.dmg"), patternDigest(1000)), bounds),
              Failure::unreachable("It came in slower than 1 KiB/s for 1 second, so it was stopped."));
    EXPECT_EQ(stagedNames(), std::vector<std::string>());

    // About 1.3 MiB a second, for a second and a half.
    ScriptedServer steady(paced(2 * mebibyte, 64 * 1024, 32, 50ms));
    EXPECT_EQ(downloadedSize(offer(steady.url("/Varnel.dmg"), patternDigest(2 * mebibyte)), bounds),
              2 * mebibyte);
}

} // namespace
} // namespace varnel

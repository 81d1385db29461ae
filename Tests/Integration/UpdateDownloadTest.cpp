// The self-updater over the real libcurl transport against HTTPS servers on 127.0.0.1: a whole
// install from a served image, a large streamed body, an error status, a redirect to http, and a
// connection that breaks off midway.
#include "LoopbackHttpsServer.hpp"
#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Agent/TemporaryDataHome.hpp"
#include "VarnelKit/Platform/CurlHttpTransport.hpp"
#include "VarnelKit/Platform/UpdateImage.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Support/Sha256.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>
#include <mutex>
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

// Answers every request with a head that announces `announced` bytes, sends `sent` of them and
// drops the connection without closing TLS, as a failing network does.
class BreakingServer {
public:
    BreakingServer(std::uint64_t announced, std::uint64_t sent) : announced_(announced), sent_(sent) {
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
    ~BreakingServer() {
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
            asio::ssl::stream<tcp::socket> stream(std::move(socket), tls_);
            co_await stream.async_handshake(asio::ssl::stream_base::server, asio::use_awaitable);
            std::string request;
            co_await asio::async_read_until(stream, asio::dynamic_buffer(request), "\r\n\r\n",
                                            asio::use_awaitable);
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(announced_) +
                                      "\r\n\r\n" + std::string(sent_, 'x');
            co_await asio::async_write(stream, asio::buffer(reply), asio::use_awaitable);
            stream.next_layer().close();
        } catch (const std::exception&) {
            // The client went first.
        }
    }

    std::uint64_t announced_;
    std::uint64_t sent_;
    asio::io_context context_;
    asio::ssl::context tls_{asio::ssl::context::tls_server};
    tcp::acceptor acceptor_{context_};
    std::thread thread_;
};

class UpdateDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        loop.startThread();
        fs::create_directories(temporary);
    }

    AgentUpdater updater() {
        return AgentUpdater(logger, std::make_shared<CurlHttpTransport>(),
                            AgentUpdater::Places{installed, temporary, nullptr});
    }

    static AgentUpdate offer(const std::string& url, const std::string& checksum) {
        return AgentUpdate{"2.4.0", Url(url), std::nullopt, checksum, false};
    }

    std::optional<Failure> downloadFailure(const AgentUpdate& update) {
        return thrownBy<Failure>([&] {
            auto u = updater();
            loop.blockOn(u.download(update, nullptr));
        });
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
    Sha256 expected;
    std::string pattern(64 * 1024, '\0');
    for (std::uint64_t offset = 0; offset < size; offset += pattern.size()) {
        for (std::size_t i = 0; i < pattern.size(); ++i)
            pattern[i] = Server::patternByte(offset + i);
        expected.update(pattern);
    }
    Server server([&](const Server::Request&) {
        Server::Reply reply;
        reply.mode = Server::Reply::Mode::stream;
        reply.streamBytes = size;
        return reply;
    });
    std::atomic<int> reports{0};
    auto u = updater();
    const fs::path file = loop.blockOn(
        u.download(offer(server.url("/big.dmg"), expected.finishHex()), [&](double) { ++reports; }));
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
    BreakingServer server(1024 * 1024, 256 * 1024);
    const auto failure =
        downloadFailure(offer(server.url("/Varnel.dmg"), Sha256::hex(std::string(1024 * 1024, 'x'))));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Failure::Kind::unreachable) << failure->description();
    EXPECT_EQ(stagedNames(), std::vector<std::string>());
}

} // namespace
} // namespace varnel

#include "VarnelKit/Platform/CurlHttpTransport.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/detached.hpp>

#include <string>

namespace varnel {
namespace {

// A loopback listener that takes one connection and never answers.
class SilentListener {
public:
    SilentListener() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback listener";
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentListener() {
        if (connection_ >= 0) ::close(connection_);
        ::close(listener_);
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/slow"; }

    // Accepts the client and reads its request head.
    std::string acceptRequest() {
        connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        std::string received;
        char buffer[1024];
        while (received.find("\r\n\r\n") == std::string::npos && waitReadable(5000)) {
            const ssize_t n = ::recv(connection_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            received.append(buffer, static_cast<std::size_t>(n));
        }
        return received;
    }

    // True when the client closed the connection within the time given.
    bool clientHungUp(int milliseconds) {
        char byte;
        return waitReadable(milliseconds) && ::recv(connection_, &byte, 1, 0) <= 0;
    }

private:
    bool waitReadable(int milliseconds) {
        pollfd entry{connection_, POLLIN, 0};
        return ::poll(&entry, 1, milliseconds) == 1;
    }

    int listener_ = -1;
    int connection_ = -1;
    std::uint16_t port_ = 0;
};

TEST(CurlHttpTransportTest, ATransferWhoseLoopIsTornDownIsDroppedWithoutTouchingTheLoop) {
    SilentListener server;
    auto transport = std::make_shared<CurlHttpTransport>();
    {
        AgentLoop loop;
        loop.startThread();
        boost::asio::co_spawn(loop.executor(), transport->send(HttpRequest{"GET", server.url(), {}, std::nullopt}),
                              boost::asio::detached);
        EXPECT_NE(server.acceptRequest().find("GET /slow"), std::string::npos);
        // The loop goes away while the request still waits for its reply.
    }
    // The request is given up at once rather than running on to its time-out...
    EXPECT_TRUE(server.clientHungUp(5000));
    // ...and ending the transport afterwards reports to no loop.
    transport.reset();
}

} // namespace
} // namespace varnel

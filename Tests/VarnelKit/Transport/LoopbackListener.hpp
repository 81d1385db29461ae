#pragma once

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace varnel::testing {

// A TCP listener on 127.0.0.1 at a port the system picks.
class LoopbackListener {
public:
    explicit LoopbackListener(int backlog = 8) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, backlog) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackListener() {
        if (worker_.joinable()) worker_.join();
        for (int fd : held_) ::close(fd);
        ::close(fd_);
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    std::uint16_t port() const noexcept { return port_; }

    // Accepts one connection and reads it to its end; the future gives the bytes.
    std::future<std::string> receiveOne() {
        auto promise = std::make_shared<std::promise<std::string>>();
        auto future = promise->get_future();
        worker_ = std::thread([this, promise] {
            const int client = ::accept(fd_, nullptr, nullptr);
            std::string bytes;
            char buffer[65536];
            ssize_t n;
            while ((n = ::read(client, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<std::size_t>(n));
            ::close(client);
            promise->set_value(std::move(bytes));
        });
        return future;
    }

    // Accepts one connection and never reads from it.
    void acceptAndIgnore() {
        worker_ = std::thread([this] { held_.push_back(::accept(fd_, nullptr, nullptr)); });
    }

    // Accepts one connection, reads `count` bytes, then keeps it open without reading on: a printer
    // that stopped taking data part-way. The future is ready once those bytes are in.
    std::future<void> readThenStall(std::size_t count) {
        auto promise = std::make_shared<std::promise<void>>();
        auto future = promise->get_future();
        worker_ = std::thread([this, promise, count] {
            const int client = ::accept(fd_, nullptr, nullptr);
            held_.push_back(client);
            std::size_t got = 0;
            char buffer[1024];
            while (got < count) {
                const auto n = ::read(client, buffer, std::min(sizeof buffer, count - got));
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            promise->set_value();
        });
        return future;
    }

    // Accepts one connection with a tiny receive window, reads `keep` bytes, waits `pause`, then
    // resets the connection: a printer that takes part of a label and fails. The future gives
    // the bytes it read.
    std::future<std::string> readThenReset(std::size_t keep, std::chrono::milliseconds pause) {
        const int smallest = 1; // the system rounds it up to its minimum
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
        auto promise = std::make_shared<std::promise<std::string>>();
        auto future = promise->get_future();
        worker_ = std::thread([this, promise, keep, pause] {
            const int client = ::accept(fd_, nullptr, nullptr);
            std::string bytes;
            char buffer[1024];
            while (bytes.size() < keep) {
                const auto n = ::read(client, buffer, std::min(sizeof buffer, keep - bytes.size()));
                if (n <= 0) break;
                bytes.append(buffer, static_cast<std::size_t>(n));
            }
            std::this_thread::sleep_for(pause);
            const linger reset{1, 0};
            ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::close(client);
            promise->set_value(std::move(bytes));
        });
        return future;
    }

    // Connects to a loopback port and closes again at once: ends a wait for a connection that
    // never came.
    static void connectOnce(std::uint16_t port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const auto address = loopback(port);
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::close(fd);
    }

    // Fills the accept queue with connections nobody accepts, so that further connects hang.
    void fillBacklog(int count) {
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            const auto address = loopback(port_);
            ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
            held_.push_back(fd);
        }
        ::usleep(50'000);
    }

private:
    static sockaddr_in loopback(std::uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }

    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread worker_;
    std::vector<int> held_;
};

// A loopback port on which nothing listens.
inline std::uint16_t closedLoopbackPort() {
    LoopbackListener listener;
    return listener.port();
}

} // namespace varnel::testing

#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace varnel::testing {

// A plain HTTP server on 127.0.0.1 (a free port) that serves one connection at a time on a thread
// of its own. The handler gets each request's head and writes whatever reply the test needs.
class LoopbackHttpServer {
public:
    class Connection {
    public:
        Connection(int fd, LoopbackHttpServer& server) : fd_(fd), server_(server) {}
        // False once the client has gone.
        bool send(std::string_view bytes) {
            while (!bytes.empty()) {
                const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                if (n <= 0) return false;
                bytes.remove_prefix(static_cast<std::size_t>(n));
            }
            return true;
        }
        // Answers nothing until the client hangs up or the server is destroyed.
        void holdSilently() {
            while (!server_.stopping_.load()) {
                pollfd entry{fd_, POLLIN, 0};
                if (::poll(&entry, 1, 20) == 1) {
                    char byte;
                    if (::recv(fd_, &byte, 1, 0) <= 0) return;
                }
            }
        }

    private:
        int fd_;
        LoopbackHttpServer& server_;
    };

    using Handler = std::function<void(Connection&, const std::string& head)>;

    explicit LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback listener";
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackHttpServer() {
        stopping_.store(true);
        thread_.join();
        ::close(listener_);
    }
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    std::string url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

    int requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Waits until at least `count` request heads arrived; false when the time ran out.
    bool waitForRequests(int count, std::chrono::milliseconds limit) const {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, limit, [&] { return requests_ >= count; });
    }

private:
    void serve() {
        while (!stopping_.load()) {
            pollfd entry{listener_, POLLIN, 0};
            if (::poll(&entry, 1, 20) != 1) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::string head;
            char buffer[4096];
            while (head.find("\r\n\r\n") == std::string::npos) {
                pollfd readable{fd, POLLIN, 0};
                if (::poll(&readable, 1, 2000) != 1) break;
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                head.append(buffer, static_cast<std::size_t>(n));
            }
            {
                std::lock_guard lock(mutex_);
                ++requests_;
            }
            arrived_.notify_all();
            Connection connection(fd, *this);
            handler_(connection, head);
            ::close(fd);
        }
    }

    Handler handler_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    int requests_ = 0;
    std::thread thread_;
};

} // namespace varnel::testing

#pragma once

#include "VarnelKit/Platform/WebSocketConnector.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace varnel::testing {

class FakeWebSocketConnector;

// The server's end of one fake connection, driven by the test on the agent loop: frames pushed in
// are what the client receives; what the client sends is kept.
class FakeWebSocket final : public WebSocket {
public:
    FakeWebSocket(FakeWebSocketConnector& connector, Url url, const Executor& executor)
        : url(std::move(url)), connector_(connector),
          wake_(executor, boost::asio::steady_timer::time_point::max()) {}

    const Url url;
    bool opened = false;
    std::optional<std::uint16_t> closeCode;
    std::vector<std::string> sent;

    bool isClosed() const { return closeCode.has_value() || dropped_; }

    void pushText(std::string text) { push(Message{Message::Kind::text, std::move(text)}); }
    void pushBinary(std::string data) { push(Message{Message::Kind::binary, std::move(data)}); }
    // The connection breaks under the client: the pending receive fails with this error.
    void drop(std::exception_ptr error) {
        dropped_ = true;
        dropError_ = std::move(error);
        wake_.cancel();
    }

    Awaitable<void> open() override;

    Awaitable<Message> receive() override {
        while (incoming_.empty() && !isClosed()) {
            (void)co_await wake_.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
            if (co_await isCancelled())
                throw OperationCancelled();
        }
        if (dropped_)
            std::rethrow_exception(dropError_);
        if (closeCode)
            throw TransportError(TransportError::Code::connectionLost);
        auto message = std::move(incoming_.front());
        incoming_.pop_front();
        co_return message;
    }

    Awaitable<void> sendText(std::string text) override;

    void close(std::uint16_t code) override {
        if (closeCode)
            return;
        closeCode = code;
        wake_.cancel();
    }

private:
    void push(Message message) {
        incoming_.push_back(std::move(message));
        wake_.cancel();
    }

    FakeWebSocketConnector& connector_;
    boost::asio::steady_timer wake_;
    std::deque<Message> incoming_;
    bool dropped_ = false;
    std::exception_ptr dropError_;
};

// Hands out fake sockets and keeps every one it made. Scripts decide how the "server" behaves.
class FakeWebSocketConnector final : public WebSocketConnector {
public:
    explicit FakeWebSocketConnector(Executor executor) : executor_(std::move(executor)) {}

    std::vector<std::shared_ptr<FakeWebSocket>> sockets;
    // When set, open() fails with it.
    std::exception_ptr openFailure;
    // When set, open() waits until the socket is closed, as a black-holed host does.
    bool hangOnOpen = false;
    // Called once a socket has opened, and for every frame the client sends.
    std::function<void(FakeWebSocket&)> onOpen;
    std::function<void(FakeWebSocket&, const std::string&)> onSend;

    std::shared_ptr<WebSocket> makeSocket(const Url& url) override {
        auto socket = std::make_shared<FakeWebSocket>(*this, url, executor_);
        sockets.push_back(socket);
        return socket;
    }

    int openedCount() const {
        int count = 0;
        for (const auto& socket : sockets)
            count += socket->opened ? 1 : 0;
        return count;
    }
    std::shared_ptr<FakeWebSocket> last() const { return sockets.empty() ? nullptr : sockets.back(); }

private:
    friend class FakeWebSocket;
    Executor executor_;
};

inline Awaitable<void> FakeWebSocket::open() {
    if (connector_.openFailure)
        std::rethrow_exception(connector_.openFailure);
    while (connector_.hangOnOpen && !isClosed()) {
        (void)co_await wake_.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
    }
    if (isClosed())
        throw TransportError(TransportError::Code::connectionLost);
    opened = true;
    if (connector_.onOpen)
        connector_.onOpen(*this);
}

inline Awaitable<void> FakeWebSocket::sendText(std::string text) {
    if (isClosed() || !opened)
        throw TransportError(TransportError::Code::connectionLost);
    sent.push_back(text);
    if (connector_.onSend)
        connector_.onSend(*this, text);
    co_return;
}

} // namespace varnel::testing

#pragma once

#include "VarnelKit/Support/Task.hpp"
#include "VarnelKit/Support/TransportError.hpp"
#include "VarnelKit/Support/Url.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace varnel {

// One WebSocket connection, made by a WebSocketConnector and opened by the caller. Used on one
// executor (the agent loop). Failures are TransportError, or WebSocketUpgradeRefused when the
// server answered the upgrade with an ordinary HTTP reply; an operation whose awaiting task is
// cancelled throws OperationCancelled.
class WebSocket {
public:
    struct Message {
        enum class Kind { text, binary };
        Kind kind = Kind::text;
        std::string data;
    };

    virtual ~WebSocket() = default;

    // Connects and upgrades: host lookup, TCP, TLS for wss, the HTTP upgrade. Bounded by the
    // connector's open time-out. A close() before or during the open makes it fail.
    virtual Awaitable<void> open() = 0;
    // The next whole message. One receive at a time.
    virtual Awaitable<Message> receive() = 0;
    // Sends one text frame and waits until it is written. Sends are written one after another in
    // the order they were asked for.
    virtual Awaitable<void> sendText(std::string text) = 0;
    // Starts the closing handshake with this code and returns at once; the close frame is queued
    // behind the sends already waiting. A pending receive and every later operation then fail,
    // within a bounded time even when the peer never answers. Later calls do nothing.
    virtual void close(std::uint16_t code) = 0;
};

// Makes WebSocket connections; the real one is BeastWebSocketConnector, tests give a fake.
class WebSocketConnector {
public:
    virtual ~WebSocketConnector() = default;

    // A socket for a ws:// or wss:// URL, not yet opened. Throws TransportError(badURL) for any
    // other URL.
    virtual std::shared_ptr<WebSocket> makeSocket(const Url& url) = 0;
};

// The server answered the upgrade request with an ordinary HTTP reply instead of switching to the
// WebSocket protocol. The reply is kept so the caller can tell what answered (a web server, a
// proxy's error page).
class WebSocketUpgradeRefused : public TransportError {
public:
    WebSocketUpgradeRefused(int status, std::string body);

    int status() const noexcept { return status_; }
    const std::string& body() const noexcept { return body_; }

private:
    int status_;
    std::string body_;
};

} // namespace varnel

#pragma once

#include "VarnelKit/Platform/WebSocketConnector.hpp"

#include <chrono>

namespace varnel {

// WebSockets over Boost.Beast: ws, and wss with SNI, host-name verification and the system's
// trust store (SSL_CERT_FILE and SSL_CERT_DIR honoured, as for HTTPS). TCP_NODELAY is set, so
// small frames are not held back.
class BeastWebSocketConnector final : public WebSocketConnector {
public:
    struct Options {
        // Host lookup, TCP connect, TLS and the upgrade together.
        std::chrono::steady_clock::duration openTimeout = std::chrono::seconds(30);
        // From close() until the connection is gone, whether or not the peer answers.
        std::chrono::steady_clock::duration closeTimeout = std::chrono::seconds(5);
    };

    explicit BeastWebSocketConnector(Executor executor)
        : BeastWebSocketConnector(std::move(executor), Options()) {}
    BeastWebSocketConnector(Executor executor, Options options);

    std::shared_ptr<WebSocket> makeSocket(const Url& url) override;

private:
    Executor executor_;
    Options options_;
};

} // namespace varnel

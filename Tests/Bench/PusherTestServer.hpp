#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::testing {

struct PusherServerOptions {
    std::string appId = "4242";
    std::string key = "varnel-test-key";
    std::string secret = "varnel-test-secret";
    // Sent in connection_established; clients size their own keepalive by it.
    std::chrono::seconds activityTimeout{120};
    // When set, the server sends pusher:ping to a client that has sent nothing for this long, as
    // Pusher servers do after the activity time-out.
    std::optional<std::chrono::milliseconds> pingWhenIdle;
};

// A Pusher-protocol (version 7) server on 127.0.0.1, on a thread and io_context of its own so that
// a test can run it next to the code under test. Two ports: plain (ws:// and the HTTP API) and TLS
// (wss:// and the HTTPS API, with the test certificate authority of caFile()). Every method may be
// called from any thread. The three fault switches hold from the moment they are set; drops and
// triggers are carried out on the server's thread, in the order they were asked for.
class PusherTestServer {
public:
    using Options = PusherServerOptions;

    struct Subscription {
        std::string channel;
        std::string socketId;
        bool accepted = false;
    };

    // What the server has seen, for tests to assert on.
    struct Snapshot {
        std::size_t connectionsAccepted = 0; // WebSocket upgrades completed
        std::size_t upgradesRefused = 0;     // upgrades answered with the HTML page
        std::size_t openSockets = 0;
        std::size_t pingsReceived = 0; // pusher:ping frames from clients
        std::size_t pongsReceived = 0; // pusher:pong frames from clients
        std::size_t pingsSent = 0;
        std::size_t eventsSent = 0;          // application events written to a socket
        std::size_t apiTriggersAccepted = 0; // HTTP API calls that passed the signature check
        std::size_t apiTriggersRefused = 0;
        std::vector<std::string> requestTargets; // of each upgrade request, refused ones included
        std::vector<std::string> socketIds;      // in the order the connections were established
        std::vector<Subscription> subscriptions;
        std::vector<std::string> framesReceived; // text frames, as they came
    };

    explicit PusherTestServer(Options options = {});
    ~PusherTestServer();
    PusherTestServer(const PusherTestServer&) = delete;
    PusherTestServer& operator=(const PusherTestServer&) = delete;

    const Options& options() const;
    unsigned short wsPort() const;
    unsigned short wssPort() const;
    // ws://127.0.0.1:<port>/app/<key>?protocol=7&client=...; wss for the TLS port.
    std::string socketUrl(bool tls = false) const;
    // The authority that signed the TLS port's certificate (for SSL_CERT_FILE or
    // NODE_EXTRA_CA_CERTS).
    static std::filesystem::path caFile();

    // The "auth" a channel-auth endpoint gives for this socket and channel.
    std::string sign(std::string_view socketId, std::string_view channel) const;

    // Scripted faults.
    void dropAll();              // closes every WebSocket's TCP connection, without a close frame
    void setSilent(bool silent); // reads and records, but answers and sends nothing
    void setRefuseSubscriptions(bool refuse); // answers every pusher:subscribe with pusher:error
    void setRefuseUpgrade(bool refuse);       // answers upgrades with 200 and an HTML page
    // Closes both listeners and every WebSocket, waits `downtime` (connections are refused
    // meanwhile), then listens again on the same ports. Returns once it listens.
    void restart(std::chrono::milliseconds downtime = std::chrono::milliseconds(0));

    // Sends an application event to every socket subscribed to the channel, except the one with
    // `exceptSocketId`. `data` is the event's data as text (usually JSON); it goes out as a string.
    void trigger(std::string channel, std::string event, std::string data, std::string exceptSocketId = {});

    Snapshot snapshot() const;
    // Waits until `condition` holds for the recorded state (checked at every change); false when
    // the time ran out first. The condition runs under the server's lock: it must not call back.
    bool waitFor(const std::function<bool(const Snapshot&)>& condition,
                 std::chrono::milliseconds limit) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace varnel::testing

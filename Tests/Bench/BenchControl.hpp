#pragma once

#include <memory>

namespace varnel::testing {

class PusherTestServer;

// The bench program's control endpoint: plain HTTP on 127.0.0.1, on a thread of its own, so that
// scripts and tests in other languages script the same faults that in-process tests call as methods.
//
//   GET  /pusher/auth?socket_id=S&channel_name=C  {"auth":"<key>:<signature>"}, as a channel-auth
//                                                 endpoint answers
//   POST /pusher/trigger   {"channel","event","data"[,"except_socket_id"]}; data is text
//   POST /pusher/drop      drops every WebSocket
//   POST /pusher/faults    {"silent","refuseSubscriptions","refuseUpgrade"}, each optional
//   GET  /pusher/state     the recorded counters and logs
class BenchControl {
public:
    explicit BenchControl(PusherTestServer& pusher);
    ~BenchControl();
    BenchControl(const BenchControl&) = delete;
    BenchControl& operator=(const BenchControl&) = delete;

    unsigned short port() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace varnel::testing

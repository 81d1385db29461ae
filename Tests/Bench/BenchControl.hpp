#pragma once

#include <memory>

namespace varnel::testing {

class TestBench;

// The bench program's control endpoint: plain HTTP on 127.0.0.1, on a thread of its own, so that
// scripts and tests in other languages script the same faults that in-process tests call as
// methods. Bodies are JSON objects; every answer is JSON.
//
//   GET  /pusher/auth?socket_id=S&channel_name=C  {"auth":"<key>:<signature>"}, as a channel-auth
//                                                 endpoint answers
//   POST /pusher/trigger   {"channel","event","data"[,"except_socket_id"]}; data is text
//   POST /pusher/drop      drops every WebSocket
//   POST /pusher/faults    {"silent","refuseSubscriptions","refuseUpgrade"}, each optional
//   GET  /pusher/state     the Pusher server's recorded counters and logs
//
//   POST /jobs             {"printer_key"[,"language","payload","encoding","copies","printer_id",
//                          "expires_at" (RFC 3339 or null),"delivery" ("pushed","pending","both")]}
//                          answers {"job_id":N}
//   POST /jobs/<id>/push | /jobs/<id>/expire | /jobs/<id>/remove
//   POST /management/assigned  {"printers":[...]}: what GET printers answers
//   POST /management/update    {"update":{...} or null}: the heartbeat's offer
//   POST /faults/fail      {"operation","status"[,"count","body"]}; operations are named as
//                          operationName() names them ("heartbeat", "result", ...)
//   POST /faults/stall     {"operation"[,"count"]}
//   POST /faults/release   answers the held requests
//   POST /faults/clear     drops every scripted failure and stall not yet used
//   POST /restart          {["downtime_ms"]}: both servers down and up again on the same ports
//   GET  /management/state what the management server recorded
//
//   POST /printers         {["mode" ("accept","refuse","stall","drop"),"limit"]} adds a raw printer;
//                          answers {"index","port","key"}
//   POST /printers/<i>/mode {"mode"[,"limit"]}
//   POST /printers/<i>/resume
//   GET  /printers/<i>     its connections, each with its bytes in base64
//
//   GET  /state            {"pusher","management","printers"} in one answer
class BenchControl {
public:
    explicit BenchControl(TestBench& bench);
    ~BenchControl();
    BenchControl(const BenchControl&) = delete;
    BenchControl& operator=(const BenchControl&) = delete;

    unsigned short port() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace varnel::testing

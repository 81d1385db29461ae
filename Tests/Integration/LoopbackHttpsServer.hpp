#pragma once

#include "Bench/TestCertificates.hpp"
#include "VarnelKit/Platform/HttpTransport.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace varnel::testing {

// An HTTPS server on 127.0.0.1 (a free port), running on a thread of its own until destroyed.
class LoopbackHttpsServer {
public:
    struct Request {
        std::string method;
        std::string target;
        HttpHeaders headers;
        std::string body;
    };

    struct Reply {
        enum class Mode {
            normal,
            silent, // reads the request and never answers
            stream, // answers 200 with `streamBytes` bytes of pattern, written piece by piece
        };
        int status = 200;
        HttpHeaders headers;
        std::string body;
        Mode mode = Mode::normal;
        std::uint64_t streamBytes = 0;
    };

    using Handler = std::function<Reply(const Request&)>;

    explicit LoopbackHttpsServer(Handler handler);
    ~LoopbackHttpsServer();
    LoopbackHttpsServer(const LoopbackHttpsServer&) = delete;
    LoopbackHttpsServer& operator=(const LoopbackHttpsServer&) = delete;

    unsigned short port() const;
    std::string url(const std::string& path = "") const; // https://127.0.0.1:<port><path>

    std::vector<Request> requests() const;
    // Waits until at least `count` requests arrived; false when the time ran out.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds limit) const;
    // Bytes of streamed bodies written to sockets so far.
    std::uint64_t streamedBytes() const;

    // The byte at `offset` of a streamed body.
    static char patternByte(std::uint64_t offset) { return static_cast<char>((offset * 31 + 7) & 0xFF); }

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace varnel::testing

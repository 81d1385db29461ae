#pragma once

#include "VarnelKit/Support/Task.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnel {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// The value of the first header with this name, compared without regard to case.
std::optional<std::string> headerValue(const HttpHeaders& headers, std::string_view name);

// The slowest a download's body may come in: fewer than `bytesPerSecond` times `period` bytes in a
// period (counted period after period from the start of the transfer) ends it. A trickle keeps
// each wait for data short, so a time-out alone never ends it.
struct HttpSlowestRate {
    std::uint64_t bytesPerSecond = 0;
    std::chrono::seconds period{0};
};

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HttpHeaders headers;
    // No body means none is sent, and no Content-Type either.
    std::optional<std::string> body;
    // For send: the whole exchange. For download: each wait for data (connecting, the reply's
    // head, and every pause between pieces), since a download's length is not known in advance.
    std::chrono::milliseconds timeout{30000};
    // For download only; none means no bound but the time-out. A transfer cut by it fails as
    // TransportError(tooSlow).
    std::optional<HttpSlowestRate> slowestRate{};
};

// The head of the final reply: interim (1xx) replies and followed redirects are not seen.
struct HttpResponseHead {
    int status = 0;
    HttpHeaders headers;
    std::optional<std::uint64_t> contentLength;
};

struct HttpResponse {
    int status = 0;
    HttpHeaders headers;
    std::string body;
};

// Receives a download as it arrives: head once, then every piece of the body, in order. The real
// transport calls them on its own thread, never on the agent loop, so they may block (writing to
// a file is expected) but must not touch an actor's state. An exception thrown by either stops
// the transfer and is rethrown by download() to its caller.
struct HttpDownloadSink {
    std::function<void(const HttpResponseHead&)> head;
    std::function<void(std::string_view)> chunk;
};

// How the agent speaks HTTP. The real one is CurlHttpTransport; the self-test's stubs and the unit
// tests' fakes implement the same interface, below the server client's status mapping. Network
// failures are TransportError; a reply of any status is a reply, not an error. Cancelling the
// awaiting task ends the request at once with OperationCancelled, never a TransportError; so does a
// request made by a task that is already cancelled, which sends nothing.
class HttpTransport {
public:
    virtual ~HttpTransport() = default;

    virtual Awaitable<HttpResponse> send(HttpRequest request) = 0;
    // Streams the reply body into the sink without holding it whole. Gives the final reply's head.
    virtual Awaitable<HttpResponseHead> download(HttpRequest request, HttpDownloadSink sink) = 0;
};

} // namespace varnel

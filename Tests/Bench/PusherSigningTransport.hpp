#pragma once

#include "Bench/PusherTestServer.hpp"
#include "VarnelKit/Platform/HttpTransport.hpp"
#include "VarnelKit/Support/Json.hpp"
#include "VarnelKit/Support/TransportError.hpp"

namespace varnel::testing {

// The management server's channel-auth endpoint for clients of the bench's Pusher server: signs
// what it is asked for with the server's own secret, so the subscription passes its check.
class PusherSigningTransport final : public HttpTransport {
public:
    explicit PusherSigningTransport(const PusherTestServer& server) : server_(server) {}

    Awaitable<HttpResponse> send(HttpRequest request) override {
        const auto body = json::parse(request.body.value_or("{}"));
        json::Ordered reply = json::Ordered::object();
        reply["auth"] =
            server_.sign(json::requireString(body, "socket_id"), json::requireString(body, "channel_name"));
        co_return HttpResponse{200, {}, json::dump(reply)};
    }
    Awaitable<HttpResponseHead> download(HttpRequest, HttpDownloadSink) override {
        throw TransportError(TransportError::Code::badURL);
    }

private:
    const PusherTestServer& server_;
};

} // namespace varnel::testing

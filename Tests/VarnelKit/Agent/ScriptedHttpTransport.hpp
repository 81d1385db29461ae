#pragma once

#include "VarnelKit/Platform/HttpTransport.hpp"
#include "VarnelKit/Support/AsyncEvent.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"

#include <boost/asio/this_coro.hpp>

#include <cstddef>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace varnel::testing {

// Answers each request by its method and URL path ("POST /api/v1/jobs/7/result"): first from that
// route's queue of one-shot replies, then with the route's standing reply, else 404. Records every
// request. A reply can hold its request open until a gate is opened (or the caller is cancelled),
// which is how tests catch an operation in the middle. Touched on the test's loop only.
class ScriptedHttpTransport : public HttpTransport {
public:
    struct Reply {
        int status = 200;
        std::string body;
        std::exception_ptr failure;     // thrown instead of answering
        std::shared_ptr<AsyncEvent> gate; // when set, the request waits for it first
    };

    static Reply ok(std::string body = "{}") { return Reply{200, std::move(body), nullptr, nullptr}; }
    static Reply status(int code, std::string body = "") { return Reply{code, std::move(body), nullptr, nullptr}; }
    static Reply fail(std::exception_ptr error) { return Reply{0, "", std::move(error), nullptr}; }

    // The route's standing reply.
    void always(const std::string& route, Reply reply) { standing_[route] = std::move(reply); }
    // One reply for the route's next request, after those queued before it.
    void next(const std::string& route, Reply reply) { queued_[route].push_back(std::move(reply)); }

    std::vector<HttpRequest> requests;

    std::vector<HttpRequest> requestsTo(const std::string& route) const {
        std::vector<HttpRequest> found;
        for (const auto& request : requests) {
            if (routeOf(request) == route) found.push_back(request);
        }
        return found;
    }
    std::size_t count(const std::string& route) const { return requestsTo(route).size(); }

    // "METHOD /path" of a request, without scheme, host and query.
    static std::string routeOf(const HttpRequest& request) {
        std::string path = request.url;
        if (const auto scheme = path.find("://"); scheme != std::string::npos) {
            const auto slash = path.find('/', scheme + 3);
            path = slash == std::string::npos ? "/" : path.substr(slash);
        }
        if (const auto query = path.find('?'); query != std::string::npos) path.resize(query);
        return request.method + " " + path;
    }

    Awaitable<HttpResponse> send(HttpRequest request) override {
        const auto route = routeOf(request);
        requests.push_back(std::move(request));
        Reply reply = take(route);
        if (reply.gate) {
            const bool opened = co_await reply.gate->wait();
            if (!opened) throw OperationCancelled();
        }
        if (reply.failure) std::rethrow_exception(reply.failure);
        HttpResponse response{reply.status, {{"Content-Type", "application/json"}}, std::move(reply.body)};
        co_return response;
    }

    Awaitable<HttpResponseHead> download(HttpRequest request, HttpDownloadSink sink) override {
        auto response = co_await send(std::move(request));
        HttpResponseHead head{response.status, response.headers, response.body.size()};
        if (sink.head) sink.head(head);
        if (sink.chunk) sink.chunk(response.body);
        co_return head;
    }

private:
    Reply take(const std::string& route) {
        if (auto found = queued_.find(route); found != queued_.end() && !found->second.empty()) {
            Reply reply = std::move(found->second.front());
            found->second.pop_front();
            return reply;
        }
        if (auto found = standing_.find(route); found != standing_.end()) return found->second;
        return status(404, R"({"message":"Not found"})");
    }

    std::map<std::string, std::deque<Reply>> queued_;
    std::map<std::string, Reply> standing_;
};

} // namespace varnel::testing

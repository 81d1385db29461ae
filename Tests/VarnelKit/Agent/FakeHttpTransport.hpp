#pragma once

#include "VarnelKit/Platform/HttpTransport.hpp"

#include <exception>
#include <vector>

namespace varnel::testing {

// Answers every request with one scripted reply (or failure) and keeps what it was sent.
class FakeHttpTransport : public HttpTransport {
public:
    HttpResponse reply{200, {}, ""};
    std::exception_ptr failure;
    std::vector<HttpRequest> requests;

    Awaitable<HttpResponse> send(HttpRequest request) override {
        requests.push_back(std::move(request));
        if (failure)
            std::rethrow_exception(failure);
        co_return reply;
    }

    Awaitable<HttpResponseHead> download(HttpRequest request, HttpDownloadSink sink) override {
        requests.push_back(std::move(request));
        if (failure)
            std::rethrow_exception(failure);
        HttpResponseHead head{reply.status, reply.headers, reply.body.size()};
        if (sink.head)
            sink.head(head);
        if (sink.chunk)
            sink.chunk(reply.body);
        co_return head;
    }
};

} // namespace varnel::testing

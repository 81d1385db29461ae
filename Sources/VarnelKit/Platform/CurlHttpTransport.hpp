#pragma once

#include "VarnelKit/Platform/HttpTransport.hpp"

#include <cstddef>
#include <memory>
#include <mutex>

namespace varnel {

// HTTP and HTTPS through libcurl. Transfers run on one thread of the transport's own, started at
// the first request, so the agent loop never waits on the network; each awaiting coroutine is
// resumed on its own executor. TLS is verified against the system's certificates (SSL_CERT_FILE
// and SSL_CERT_DIR are honoured as OpenSSL programs honour them). At most 5 redirects are
// followed and never from https to http; no cookies, no cache, no compression.
class CurlHttpTransport : public HttpTransport {
public:
    // The largest reply body send() holds in memory: above the largest job a label printer takes,
    // as base64, with room. A longer reply fails as TransportError(replyTooLarge), whether its
    // length is announced or only seen as it arrives. Downloads stream: their sink decides how much
    // it takes, and the request how slow the body may come (HttpRequest::slowestRate).
    static constexpr std::size_t defaultReplyBodyLimit = 128u * 1024 * 1024;

    // Starts nothing and touches nothing.
    explicit CurlHttpTransport(std::size_t replyBodyLimit = defaultReplyBodyLimit);
    ~CurlHttpTransport() override;
    CurlHttpTransport(const CurlHttpTransport&) = delete;
    CurlHttpTransport& operator=(const CurlHttpTransport&) = delete;

    Awaitable<HttpResponse> send(HttpRequest request) override;
    Awaitable<HttpResponseHead> download(HttpRequest request, HttpDownloadSink sink) override;

    class Worker;
    struct Transfer;

private:
    std::shared_ptr<Worker> worker();

    std::size_t replyBodyLimit_;
    std::mutex mutex_;
    std::shared_ptr<Worker> worker_;
};

} // namespace varnel

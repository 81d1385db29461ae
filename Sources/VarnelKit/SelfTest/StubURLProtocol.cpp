#include "VarnelKit/SelfTest/StubURLProtocol.hpp"

#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"

#include <mutex>
#include <utility>

namespace varnel {

namespace {

struct CannedReply {
    Bytes body;
    int status = 200;
};

std::mutex& gate() {
    static std::mutex mutex;
    return mutex;
}

CannedReply& reply() {
    static CannedReply value;
    return value;
}

// Body and status are taken together, so a reply never mixes an old body with a new status.
CannedReply currentReply() {
    std::lock_guard lock(gate());
    return reply();
}

HttpResponseHead headOf(const CannedReply& canned) {
    HttpResponseHead head;
    head.status = canned.status;
    head.headers.emplace_back("Content-Length", NumberText::integer(static_cast<std::int64_t>(canned.body.size())));
    head.contentLength = canned.body.size();
    return head;
}

class StubTransport : public HttpTransport {
public:
    Awaitable<HttpResponse> send(HttpRequest) override {
        if (co_await isCancelled()) throw OperationCancelled();
        const CannedReply canned = currentReply();
        HttpResponseHead head = headOf(canned);
        co_return HttpResponse{head.status, std::move(head.headers), textOf(canned.body)};
    }

    Awaitable<HttpResponseHead> download(HttpRequest, HttpDownloadSink sink) override {
        if (co_await isCancelled()) throw OperationCancelled();
        const CannedReply canned = currentReply();
        HttpResponseHead head = headOf(canned);
        if (sink.head) sink.head(head);
        if (sink.chunk) sink.chunk(std::string_view(reinterpret_cast<const char*>(canned.body.data()), canned.body.size()));
        co_return head;
    }
};

} // namespace

void StubURLProtocol::respond(Bytes body, int status) {
    std::lock_guard lock(gate());
    reply() = CannedReply{std::move(body), status};
}

void StubURLProtocol::reset() { respond({}, 200); }

std::shared_ptr<HttpTransport> StubURLProtocol::session() { return std::make_shared<StubTransport>(); }

} // namespace varnel

#include "VarnelKit/SelfTest/DiagnosticsStubProtocol.hpp"

#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/Support/TransportError.hpp"

#include <mutex>
#include <optional>
#include <utility>

namespace varnel {

namespace {

struct StubState {
    std::mutex lock;
    std::vector<std::string> bodies;
    std::int64_t requestCount = 0;
    bool failing = false;
};

StubState& state() {
    static StubState value;
    return value;
}

const char acceptedBody[] = R"({"ok":true,"accepted":1})";

class DiagnosticsStubTransport : public HttpTransport {
public:
    Awaitable<HttpResponse> send(HttpRequest request) override {
        auto& stub = state();
        {
            std::unique_lock lock(stub.lock);
            ++stub.requestCount;
            if (stub.failing) {
                lock.unlock();
                throw TransportError(TransportError::Code::cannotConnect);
            }
            // A body that is not UTF-8 is answered but not recorded; an empty one is recorded.
            if (request.body && Text::isValidUtf8(*request.body))
                stub.bodies.push_back(*request.body);
        }
        co_return HttpResponse{202, {{"Content-Type", "application/json"}}, acceptedBody};
    }

    Awaitable<HttpResponseHead> download(HttpRequest request, HttpDownloadSink sink) override {
        HttpResponse response = co_await send(std::move(request));
        HttpResponseHead head{response.status, std::move(response.headers), response.body.size()};
        if (sink.head)
            sink.head(head);
        if (sink.chunk)
            sink.chunk(response.body);
        co_return head;
    }
};

} // namespace

void DiagnosticsStubProtocol::reset() {
    auto& stub = state();
    std::lock_guard lock(stub.lock);
    stub.bodies.clear();
    stub.requestCount = 0;
    stub.failing = false;
}

void DiagnosticsStubProtocol::setFailing(bool failing) {
    auto& stub = state();
    std::lock_guard lock(stub.lock);
    stub.failing = failing;
}

DiagnosticsStubProtocol::Snapshot DiagnosticsStubProtocol::snapshot() {
    auto& stub = state();
    std::lock_guard lock(stub.lock);
    return Snapshot{stub.bodies, stub.requestCount};
}

std::int64_t DiagnosticsStubProtocol::requestCount() {
    return snapshot().requestCount;
}

std::vector<std::string> DiagnosticsStubProtocol::bodies() {
    return snapshot().bodies;
}

std::shared_ptr<HttpTransport> DiagnosticsStubProtocol::session() {
    return std::make_shared<DiagnosticsStubTransport>();
}

} // namespace varnel

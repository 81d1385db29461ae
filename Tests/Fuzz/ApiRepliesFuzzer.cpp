// The server client's reading of replies: a status picked by the first byte and the rest as the
// body, through every call that decodes something. Each call ends in a value or an APIError.
#include "FuzzCheck.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"

#include <array>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

using namespace varnel;

namespace {

class ReplayTransport final : public HttpTransport {
public:
    ReplayTransport(int status, std::string body) : status_(status), body_(std::move(body)) {}

    Awaitable<HttpResponse> send(HttpRequest) override {
        HttpResponse response;
        response.status = status_;
        response.body = body_;
        co_return response;
    }
    Awaitable<HttpResponseHead> download(HttpRequest, HttpDownloadSink) override {
        HttpResponseHead head;
        head.status = status_;
        co_return head;
    }

private:
    int status_;
    std::string body_;
};

template <class Call> Awaitable<void> expectReplyOrAPIError(Call call) {
    try {
        co_await call();
    } catch (const VarnelAPIClient::APIError& error) {
        fuzz::require(!error.description().empty(), "API error describes itself");
    }
}

Awaitable<void> callEverything(VarnelAPIClient& client) {
    co_await expectReplyOrAPIError([&]() -> Awaitable<void> {
        EnrollmentRequest request{"VRN-ABCD-EFGH", "machine", std::nullopt, std::nullopt, std::nullopt};
        (void)co_await client.enroll(std::move(request));
    });
    co_await expectReplyOrAPIError(
        [&]() -> Awaitable<void> { (void)co_await client.heartbeat(7, "Debian 12"); });
    co_await expectReplyOrAPIError([&]() -> Awaitable<void> { (void)co_await client.assignedPrinters(7); });
    co_await expectReplyOrAPIError([&]() -> Awaitable<void> { (void)co_await client.pendingJobs(7); });
    co_await expectReplyOrAPIError([&]() -> Awaitable<void> { (void)co_await client.job(42); });
    co_await expectReplyOrAPIError(
        [&]() -> Awaitable<void> { (void)co_await client.authorizeChannel("1.2", "c"); });
    co_await expectReplyOrAPIError([&]() -> Awaitable<void> { co_await client.syncPrinters(7, {}); });
}

constexpr std::array<int, 18> statuses = {200, 201, 204, 299, 0,   -1,  100, 301, 400,
                                          401, 403, 404, 408, 410, 426, 429, 500, 503};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const int status = statuses[data[0] % statuses.size()];
    auto transport = std::make_shared<ReplayTransport>(status, std::string(fuzz::textOf(data + 1, size - 1)));
    VarnelAPIClient client(VarnelAPIClient::Configuration{Url("https://varnel.example"), "1.0.4"}, "token",
                           transport);
    boost::asio::io_context loop;
    std::exception_ptr escaped;
    boost::asio::co_spawn(loop, callEverything(client), [&](std::exception_ptr error) { escaped = error; });
    loop.run();
    if (escaped)
        std::rethrow_exception(escaped);
    return 0;
}

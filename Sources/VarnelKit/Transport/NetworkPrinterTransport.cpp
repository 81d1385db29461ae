#include "VarnelKit/Transport/NetworkPrinterTransport.hpp"

#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Timeout.hpp"

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <functional>
#include <optional>
#include <utility>

namespace varnel {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

const std::string emDash = " \xE2\x80\x94 ";

// A host that arrives in brackets (from a device URI) is still an address literal.
std::string unbracketed(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

// A name lookup runs getaddrinfo on the resolver's own thread, and nothing interrupts that: a
// silent name server holds it for many seconds. The wait for it is what a time-out cancels; the
// lookup is left to finish on its own and its answer is dropped.
Awaitable<std::pair<boost::system::error_code, tcp::resolver::results_type>> lookUp(std::string host,
                                                                                    unsigned short port) {
    struct Lookup {
        explicit Lookup(const Executor& executor)
            : resolver(executor), answered(executor, asio::steady_timer::time_point::max()) {}
        tcp::resolver resolver;
        asio::steady_timer answered;
        std::optional<std::pair<boost::system::error_code, tcp::resolver::results_type>> answer;
    };
    auto lookup = std::make_shared<Lookup>(co_await asio::this_coro::executor);
    lookup->resolver.async_resolve(
        host, NumberText::integer(port), tcp::resolver::numeric_service,
        [lookup](const boost::system::error_code& error, tcp::resolver::results_type results) {
            lookup->answer.emplace(error, std::move(results));
            lookup->answered.cancel();
        });
    if (!lookup->answer) co_await lookup->answered.async_wait(asio::as_tuple(asio::use_awaitable));
    if (!lookup->answer) {
        lookup->resolver.cancel(); // a lookup still queued behind another is skipped
        co_return std::pair{boost::system::error_code(asio::error::operation_aborted), tcp::resolver::results_type()};
    }
    co_return std::move(*lookup->answer);
}

// Resolves the host and connects the socket; a refusal or an unknown host fails at once with the
// system's own wording. `label` is "<host>:<port>" as the messages show it.
Awaitable<void> connectSocket(std::shared_ptr<tcp::socket> socket, std::string host, unsigned short port,
                              std::string label) {
    const auto failure = [&label](const boost::system::error_code& error) {
        if (error == asio::error::operation_aborted)
            return JobError(JobErrorCode::printerUnreachable, "Connection cancelled");
        return JobError(JobErrorCode::printerUnreachable, label + emDash + error.message());
    };
    auto [resolveError, endpoints] = co_await lookUp(std::move(host), port);
    if (resolveError) throw failure(resolveError);
    auto [connectError, endpoint] =
        co_await asio::async_connect(*socket, endpoints, asio::as_tuple(asio::use_awaitable));
    (void)endpoint;
    if (connectError) throw failure(connectError);
    boost::system::error_code ignored;
    socket->set_option(tcp::no_delay(true), ignored);
}

Awaitable<void> sendAll(std::shared_ptr<tcp::socket> socket, std::shared_ptr<const Bytes> data) {
    auto [error, written] =
        co_await asio::async_write(*socket, asio::buffer(*data), asio::as_tuple(asio::use_awaitable));
    (void)written;
    if (error) throw JobError(JobErrorCode::printerError, "Write failed: " + error.message());
}

// Half-closes first: a plain close with unread bytes from the printer (status replies) would reset
// the connection and could drop data still in flight.
void closeSocket(tcp::socket& socket) {
    boost::system::error_code ignored;
    if (socket.is_open()) socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
}

[[noreturn]] void throwCancelled() {
    throw boost::system::system_error(asio::error::operation_aborted);
}

} // namespace

NetworkPrinterTransport::NetworkPrinterTransport(std::string host, std::int64_t port, Duration connectTimeout,
                                                 Duration writeTimeout)
    : host_(std::move(host)), port_(port), connectTimeout_(connectTimeout), writeTimeout_(writeTimeout) {}

std::shared_ptr<NetworkPrinterTransport> NetworkPrinterTransport::make(const PrinterTarget& target) {
    const auto endpoint = target.hostAndPort();
    if (!endpoint) return nullptr;
    return std::make_shared<NetworkPrinterTransport>(endpoint->host, endpoint->port, defaultConnectTimeout,
                                                     defaultWriteTimeout);
}

unsigned short NetworkPrinterTransport::clampedPort(std::int64_t port) {
    return static_cast<unsigned short>(std::clamp<std::int64_t>(port, 0, 65535));
}

std::string NetworkPrinterTransport::secondsText(Duration duration) {
    return NumberText::shortest(std::chrono::duration<double>(duration).count()) + " seconds";
}

Awaitable<std::int64_t> NetworkPrinterTransport::write(Bytes data, std::string jobTitle) {
    (void)jobTitle;
    if (co_await isCancelled()) throwCancelled();
    const auto label = host_ + ":" + NumberText::integer(port_);
    const auto count = static_cast<std::int64_t>(data.size());
    auto socket = std::make_shared<tcp::socket>(co_await asio::this_coro::executor);
    auto payload = std::make_shared<const Bytes>(std::move(data));
    std::exception_ptr failure;
    bool isJobError = false;
    try {
        // The errors are named first: g++ 12 destroys a lambda temporary of a co_await twice.
        std::function<std::exception_ptr()> connectTimedOut = [this, label] {
            return std::make_exception_ptr(
                JobError(JobErrorCode::printerUnreachable,
                         "Connect timed out after " + secondsText(connectTimeout_) + " to " + label));
        };
        std::function<std::exception_ptr()> writeTimedOut = [this] {
            return std::make_exception_ptr(JobError(JobErrorCode::writeTimeout, "Device stopped accepting data after " +
                                                                                    secondsText(writeTimeout_)));
        };
        co_await withTimeout<void>(connectTimeout_,
                                   connectSocket(socket, unbracketed(host_), clampedPort(port_), label),
                                   std::move(connectTimedOut));
        co_await withTimeout<void>(writeTimeout_, sendAll(socket, payload), std::move(writeTimedOut));
    } catch (const JobError&) {
        failure = std::current_exception();
        isJobError = true;
    } catch (...) {
        failure = std::current_exception();
    }
    closeSocket(*socket);
    if (failure) {
        // A caller that was cancelled meanwhile learns that, not a printer fault.
        if (isJobError && co_await isCancelled()) throwCancelled();
        std::rethrow_exception(failure);
    }
    co_return count;
}

Awaitable<bool> NetworkPrinterTransport::probe() {
    auto socket = std::make_shared<tcp::socket>(co_await asio::this_coro::executor);
    bool ready = false;
    try {
        std::function<std::exception_ptr()> timedOut = [] {
            return std::make_exception_ptr(JobError(JobErrorCode::printerUnreachable));
        };
        co_await withTimeout<void>(
            connectTimeout_, connectSocket(socket, unbracketed(host_), clampedPort(port_), host_), std::move(timedOut));
        ready = true;
    } catch (...) {
    }
    closeSocket(*socket);
    co_return ready;
}

} // namespace varnel

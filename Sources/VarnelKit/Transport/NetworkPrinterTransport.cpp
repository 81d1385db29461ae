#include "VarnelKit/Transport/NetworkPrinterTransport.hpp"

#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/Timeout.hpp"
#include "VarnelKit/Transport/HostNameLookup.hpp"

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <functional>
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

[[noreturn]] void throwConnectFailure(const boost::system::error_code& error, const std::string& label) {
    if (error == asio::error::operation_aborted) throw OperationCancelled();
    throw JobError(JobErrorCode::printerUnreachable, label + emDash + error.message());
}

// Resolves the host and connects the socket; a refusal or an unknown host fails at once with the
// system's own wording. `label` is "<host>:<port>" as the messages show it.
Awaitable<void> connectSocket(std::shared_ptr<tcp::socket> socket, std::string host, unsigned short port,
                              std::string label) {
    auto [resolveError, endpoints] = co_await HostNameLookup::resolve(std::move(host), port);
    if (resolveError) throwConnectFailure(resolveError, label);
    auto [connectError, endpoint] =
        co_await asio::async_connect(*socket, endpoints, asio::as_tuple(asio::use_awaitable));
    (void)endpoint;
    if (connectError) throwConnectFailure(connectError, label);
    boost::system::error_code ignored;
    socket->set_option(tcp::no_delay(true), ignored);
}

Awaitable<void> sendAll(std::shared_ptr<tcp::socket> socket, std::shared_ptr<const Bytes> data) {
    auto [error, written] =
        co_await asio::async_write(*socket, asio::buffer(*data), asio::as_tuple(asio::use_awaitable));
    (void)written;
    if (error == asio::error::operation_aborted) throw OperationCancelled();
    if (error) throw JobError(JobErrorCode::printerError, "Write failed: " + error.message());
}

// Half-closes first: a plain close with unread bytes from the printer (status replies) would reset
// the connection and could drop data still in flight.
void closeSocket(tcp::socket& socket) {
    boost::system::error_code ignored;
    if (socket.is_open()) socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
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
    if (co_await isCancelled()) throw OperationCancelled();
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
        if (isJobError && co_await isCancelled()) throw OperationCancelled();
        std::rethrow_exception(failure);
    }
    co_return count;
}

Awaitable<bool> NetworkPrinterTransport::probe() {
    if (co_await isCancelled()) throw OperationCancelled();
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
    // A probe cut short by a stop says nothing about the printer.
    if (!ready && co_await isCancelled()) throw OperationCancelled();
    co_return ready;
}

} // namespace varnel

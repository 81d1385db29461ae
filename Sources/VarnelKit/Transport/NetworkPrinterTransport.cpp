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
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <functional>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <utility>

namespace varnel {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

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

// What the printer has not acknowledged yet of what was handed to the socket (sent or still
// queued), and whether the connection is gone (reset, or ended with an error). When the system
// cannot say (`unreadable`), nothing counts as acknowledged.
struct SendQueue {
    std::int64_t unacknowledged = 0;
    bool unreadable = false;
    bool connectionLost = false;
    boost::system::error_code error;
};

SendQueue readSendQueue(tcp::socket& socket, std::int64_t handed) {
    SendQueue queue;
    const int fd = socket.native_handle();
    int pending = 0;
    if (::ioctl(fd, SIOCOUTQ, &pending) != 0) {
        queue.unreadable = true;
        queue.unacknowledged = handed;
        queue.error = boost::system::error_code(errno, boost::system::system_category());
        return queue;
    }
    queue.unacknowledged = pending;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_state == TCP_CLOSE) {
        queue.connectionLost = true;
        int code = 0;
        socklen_t codeLength = sizeof code;
        (void)::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &codeLength);
        queue.error = boost::system::error_code(code != 0 ? code : ECONNRESET, boost::system::system_category());
    }
    return queue;
}

// How a send ended: every byte acknowledged, or why not.
enum class SendEnd { acknowledged, stopped, timedOut, failed, unconfirmed };

struct SendOutcome {
    SendEnd end = SendEnd::acknowledged;
    std::int64_t handed = 0;       // bytes the socket took from us
    std::int64_t acknowledged = 0; // bytes the printer confirmed it received
    boost::system::error_code error;
};

// Hands every byte to the socket before the deadline, or as many as it takes until a failure, the
// deadline or a stop of the caller.
Awaitable<SendOutcome> handOver(std::shared_ptr<tcp::socket> socket, std::shared_ptr<const Bytes> data,
                                Clock::time_point deadline) {
    asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
    auto group = asio::experimental::make_parallel_group(asio::async_write(*socket, asio::buffer(*data), asio::deferred),
                                                         timer.async_wait(asio::deferred));
    auto [order, writeError, handed, timerError] =
        co_await group.async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    SendOutcome outcome;
    outcome.handed = static_cast<std::int64_t>(handed);
    if (!writeError) co_return outcome;
    if (order[0] == 1 && !timerError) {
        outcome.end = SendEnd::timedOut;
    } else if (writeError == asio::error::operation_aborted || co_await isCancelled()) {
        outcome.end = SendEnd::stopped;
    } else {
        outcome.end = SendEnd::failed;
        outcome.error = writeError;
    }
    co_return outcome;
}

// A printer has a label only once it has acknowledged every byte of it: bytes that merely sit in
// our socket buffer when the connection resets are lost. Nothing signals an empty send queue, so
// it is looked at again after a short pause that grows; on loopback and on a quick printer the
// first look already finds it empty.
Awaitable<SendOutcome> awaitAcknowledgement(std::shared_ptr<tcp::socket> socket, SendOutcome sent,
                                            Clock::time_point deadline) {
    auto pause = std::chrono::milliseconds(1);
    bool stopped = false;
    while (true) {
        const auto queue = readSendQueue(*socket, sent.handed);
        sent.acknowledged = std::max<std::int64_t>(0, sent.handed - queue.unacknowledged);
        // A printer's receipt that cannot be read is not taken for granted.
        if (queue.unreadable) {
            sent.end = SendEnd::unconfirmed;
            sent.error = queue.error;
            co_return sent;
        }
        if (queue.unacknowledged == 0) co_return sent;
        if (queue.connectionLost) {
            sent.end = SendEnd::failed;
            sent.error = queue.error;
            co_return sent;
        }
        // Looked at once more after a stop that came during the pause: a label acknowledged
        // meanwhile is printed, and the count of what the printer took is current.
        if (stopped) {
            sent.end = SendEnd::stopped;
            co_return sent;
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            sent.end = SendEnd::timedOut;
            co_return sent;
        }
        stopped = !co_await sleepFor(std::min<Clock::duration>(pause, left));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

// Half-closes first: a plain close with unread bytes from the printer (status replies) would reset
// the connection and could drop data still in flight.
void closeSocket(tcp::socket& socket) {
    boost::system::error_code ignored;
    if (socket.is_open()) socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
}

// Ends the connection at once, dropping what is still queued: a job given up on must not trickle
// on to the printer after it was reported.
void abortSocket(tcp::socket& socket) {
    boost::system::error_code ignored;
    socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
}

std::string tookText(const SendOutcome& outcome, std::int64_t total) {
    return "the printer took " + NumberText::integer(outcome.acknowledged) + " of " + NumberText::integer(total) +
           " bytes";
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

std::optional<unsigned short> NetworkPrinterTransport::socketPort(std::int64_t port) {
    if (port < 0 || port > 65535) return std::nullopt;
    return static_cast<unsigned short>(port);
}

std::string NetworkPrinterTransport::invalidPortText(std::int64_t port) {
    return "Invalid port " + NumberText::integer(port);
}

std::string NetworkPrinterTransport::secondsText(Duration duration) {
    return NumberText::shortest(std::chrono::duration<double>(duration).count()) + " seconds";
}

Awaitable<std::int64_t> NetworkPrinterTransport::write(Bytes data, std::string jobTitle) {
    (void)jobTitle;
    if (co_await isCancelled()) throw OperationCancelled();
    const auto port = socketPort(port_);
    if (!port) throw JobError(JobErrorCode::printerUnreachable, invalidPortText(port_));
    const auto label = host_ + ":" + NumberText::integer(port_);
    const auto total = static_cast<std::int64_t>(data.size());
    auto socket = std::make_shared<tcp::socket>(co_await asio::this_coro::executor);
    auto payload = std::make_shared<const Bytes>(std::move(data));
    std::exception_ptr failure;
    bool isJobError = false;
    try {
        // The error is named first: g++ 12 destroys a lambda temporary of a co_await twice.
        std::function<std::exception_ptr()> connectTimedOut = [this, label] {
            return std::make_exception_ptr(
                JobError(JobErrorCode::printerUnreachable,
                         "Connect timed out after " + secondsText(connectTimeout_) + " to " + label));
        };
        co_await withTimeout<void>(connectTimeout_,
                                   connectSocket(socket, unbracketed(host_), *port, label),
                                   std::move(connectTimedOut));
    } catch (const JobError&) {
        failure = std::current_exception();
        isJobError = true;
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        closeSocket(*socket);
        // A caller that was cancelled meanwhile learns that, not a printer fault.
        if (isJobError && co_await isCancelled()) throw OperationCancelled();
        std::rethrow_exception(failure);
    }

    const auto deadline = Clock::now() + writeTimeout_;
    auto outcome = co_await handOver(socket, payload, deadline);
    if (outcome.end == SendEnd::acknowledged) outcome = co_await awaitAcknowledgement(socket, outcome, deadline);
    else outcome.acknowledged = std::max<std::int64_t>(0, outcome.handed - readSendQueue(*socket, outcome.handed).unacknowledged);

    switch (outcome.end) {
    case SendEnd::acknowledged:
        closeSocket(*socket);
        co_return total;
    case SendEnd::stopped:
        abortSocket(*socket);
        // Nothing left us: the job is as untouched as if the stop had come before the connect.
        if (outcome.handed == 0) throw OperationCancelled();
        throw JobError(JobErrorCode::printerError, "Sending was stopped when the agent stopped; " +
                                                       tookText(outcome, total));
    case SendEnd::timedOut:
        abortSocket(*socket);
        throw JobError(JobErrorCode::writeTimeout,
                       "Device stopped accepting data after " + secondsText(writeTimeout_) + "; " +
                           tookText(outcome, total));
    case SendEnd::unconfirmed:
        abortSocket(*socket);
        throw JobError(JobErrorCode::printerError, "The printer's receipt could not be confirmed: " +
                                                       outcome.error.message() + "; " +
                                                       NumberText::integer(outcome.handed) + " of " +
                                                       NumberText::integer(total) + " bytes were sent");
    case SendEnd::failed:
        break;
    }
    abortSocket(*socket);
    throw JobError(JobErrorCode::printerError, "Write failed: " + outcome.error.message() + "; " +
                                                   tookText(outcome, total));
}

Awaitable<bool> NetworkPrinterTransport::probe() {
    if (co_await isCancelled()) throw OperationCancelled();
    const auto port = socketPort(port_);
    if (!port) co_return false;
    auto socket = std::make_shared<tcp::socket>(co_await asio::this_coro::executor);
    bool ready = false;
    try {
        std::function<std::exception_ptr()> timedOut = [] {
            return std::make_exception_ptr(JobError(JobErrorCode::printerUnreachable));
        };
        co_await withTimeout<void>(
            connectTimeout_, connectSocket(socket, unbracketed(host_), *port, host_), std::move(timedOut));
        ready = true;
    } catch (...) {
    }
    closeSocket(*socket);
    // A probe cut short by a stop says nothing about the printer.
    if (!ready && co_await isCancelled()) throw OperationCancelled();
    co_return ready;
}

} // namespace varnel

#include "VarnelKit/Platform/BeastWebSocketConnector.hpp"

#include "VarnelKit/Support/AsyncEvent.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <openssl/ssl.h>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace varnel {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Code = TransportError::Code;

namespace {

using PlainStream = websocket::stream<beast::tcp_stream>;
using SecureStream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

struct Target {
    bool secure = false;
    std::string host;       // what is connected to and verified: an IPv6 literal without brackets
    std::string hostHeader; // what the Host header carries: host:port, IPv6 in brackets
    unsigned short port = 0;
    std::string resource; // path and query
};

std::optional<Target> targetOf(const Url& url) {
    Target target;
    const auto scheme = url.scheme_id();
    if (scheme == boost::urls::scheme::wss) {
        target.secure = true;
    } else if (scheme != boost::urls::scheme::ws) {
        return std::nullopt;
    }
    switch (url.host_type()) {
    case boost::urls::host_type::ipv6:
        target.host = url.host_ipv6_address().to_string();
        break;
    case boost::urls::host_type::ipv4:
    case boost::urls::host_type::name:
        target.host = url.host();
        break;
    default:
        return std::nullopt;
    }
    if (target.host.empty())
        return std::nullopt;
    if (url.has_port()) {
        const auto port = NumberText::parseInteger(url.port());
        if (!port || *port < 0 || *port > 65535 || url.port().front() == '+' || url.port().front() == '-')
            return std::nullopt;
        target.port = static_cast<unsigned short>(*port);
    } else {
        target.port = target.secure ? 443 : 80;
    }
    const std::string bracketed =
        url.host_type() == boost::urls::host_type::ipv6 ? "[" + target.host + "]" : target.host;
    target.hostHeader = bracketed + ":" + NumberText::integer(target.port);
    target.resource = std::string(url.encoded_target());
    if (target.resource.empty() || target.resource.front() != '/')
        target.resource.insert(0, "/");
    return target;
}

bool isNameNotFound(const error_code& error) {
    return error == asio::error::host_not_found || error == asio::error::host_not_found_try_again ||
           error == asio::error::no_data || error == asio::error::no_recovery;
}

// The steps of opening, for telling the failures apart in the user's words.
enum class Step { lookup, connect, tls, upgrade, traffic };

TransportError failureOf(const error_code& error, Step step) {
    if (error == beast::error::timeout)
        return TransportError(Code::timedOut);
    switch (step) {
    case Step::lookup:
        return TransportError(isNameNotFound(error) ? Code::cannotFindHost : Code::cannotConnect);
    case Step::connect:
        return TransportError(Code::cannotConnect);
    case Step::tls:
        return TransportError(Code::secureConnectionFailed);
    case Step::upgrade:
        if (error.category() == asio::error::get_ssl_category())
            return TransportError(Code::secureConnectionFailed);
        if (error == asio::error::eof || error == asio::error::connection_reset)
            return TransportError(Code::connectionLost);
        return TransportError(Code::other, "There was a bad response from the server.");
    case Step::traffic:
        break;
    }
    return TransportError(Code::connectionLost);
}

// The answer of a host lookup, or the lookup's abandonment. getaddrinfo cannot be interrupted, so
// a time-out or a close stops waiting for it rather than stopping it; its late answer is dropped.
struct Lookup {
    explicit Lookup(const Executor& executor) : resolver(executor), answered(executor) {}
    tcp::resolver resolver;
    // Set by the answer, or with no answer when the lookup is abandoned.
    AsyncEvent answered;
    std::optional<std::pair<error_code, tcp::resolver::results_type>> answer;

    void abandon() {
        resolver.cancel();
        answered.set();
    }
};

template <class Stream>
class BeastWebSocket final : public WebSocket, public std::enable_shared_from_this<BeastWebSocket<Stream>> {
public:
    static constexpr bool secure = std::is_same_v<Stream, SecureStream>;

    BeastWebSocket(Executor executor, Target target, BeastWebSocketConnector::Options options,
                   std::shared_ptr<ssl::context> tls)
        : executor_(std::move(executor)), target_(std::move(target)), options_(options), tls_(std::move(tls)),
          closeDeadline_(executor_) {
        if constexpr (secure) {
            stream_.emplace(executor_, *tls_);
        } else {
            stream_.emplace(executor_);
        }
    }

    Awaitable<void> open() override {
        auto self = this->shared_from_this();
        if (state_ != State::created)
            throw TransportError(Code::connectionLost);
        state_ = State::opening;

        asio::steady_timer watchdog(executor_, options_.openTimeout);
        watchdog.async_wait([weak = this->weak_from_this()](const error_code& error) {
            if (error)
                return;
            if (auto socket = weak.lock()) {
                socket->openTimedOut_ = true;
                socket->abortTransport();
            }
        });

        lookup_ = std::make_shared<Lookup>(executor_);
        lookup_->resolver.async_resolve(
            target_.host, NumberText::integer(target_.port), tcp::resolver::numeric_service,
            [lookup = lookup_](const error_code& error, tcp::resolver::results_type results) {
                if (lookup->answered.isSet())
                    return;
                lookup->answer.emplace(error, std::move(results));
                lookup->answered.set();
            });
        (void)co_await lookup_->answered.wait();
        auto lookup = std::move(lookup_);
        const error_code lookupError =
            lookup->answer ? lookup->answer->first : asio::error::operation_aborted;
        checkOpening(lookupError, Step::lookup, co_await isCancelled());

        auto& layer = beast::get_lowest_layer(*stream_);
        auto [connectError, endpoint] = co_await asio::async_connect(layer.socket(), lookup->answer->second,
                                                                     asio::as_tuple(asio::use_awaitable));
        (void)endpoint;
        checkOpening(connectError, Step::connect, co_await isCancelled());
        error_code ignored;
        layer.socket().set_option(tcp::no_delay(true), ignored);

        if constexpr (secure) {
            auto& tlsStream = stream_->next_layer();
            // SNI carries names only; an address literal is verified against the certificate's
            // IP entries instead.
            error_code notAnAddress;
            (void)asio::ip::make_address(target_.host, notAnAddress);
            if (notAnAddress && !SSL_set_tlsext_host_name(tlsStream.native_handle(), target_.host.c_str())) {
                throw TransportError(Code::secureConnectionFailed);
            }
            tlsStream.set_verify_mode(ssl::verify_peer);
            tlsStream.set_verify_callback(ssl::host_name_verification(target_.host));
            auto [tlsError] = co_await tlsStream.async_handshake(ssl::stream_base::client,
                                                                 asio::as_tuple(asio::use_awaitable));
            checkOpening(tlsError, Step::tls, co_await isCancelled());
        }

        websocket::response_type response;
        auto [upgradeError] = co_await stream_->async_handshake(
            response, target_.hostHeader, target_.resource, asio::as_tuple(asio::use_awaitable));
        if (upgradeError == websocket::error::upgrade_declined && !closeRequested_ && !openTimedOut_) {
            abortTransport();
            state_ = State::closed;
            throw WebSocketUpgradeRefused(static_cast<int>(response.result_int()),
                                          std::move(response.body()));
        }
        checkOpening(upgradeError, Step::upgrade, co_await isCancelled());

        // From here on only the closing handshake has a time limit: silence while open is the
        // caller's to judge (the keepalive), and a peer that never answers a close frame must
        // not hold the socket open.
        layer.expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = options_.closeTimeout;
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        stream_->set_option(timeouts);
        state_ = State::open;
    }

    Awaitable<Message> receive() override {
        auto self = this->shared_from_this();
        if (state_ != State::open)
            throw TransportError(Code::connectionLost);
        if (reading_)
            throw std::logic_error("WebSocket::receive() while another receive is pending");
        reading_ = true;
        // Read straight into the message's own text: a frame of many megabytes is then never copied
        // whole in one go on the loop.
        std::string text;
        auto buffer = asio::dynamic_buffer(text);
        auto [error, size] = co_await stream_->async_read(buffer, asio::as_tuple(asio::use_awaitable));
        (void)size;
        reading_ = false;
        if (error) {
            if (co_await isCancelled()) {
                // A read cut short leaves the stream in no state to go on with.
                abortTransport();
                throw OperationCancelled();
            }
            throw failureOf(error, Step::traffic);
        }
        Message message;
        message.kind = stream_->got_text() ? Message::Kind::text : Message::Kind::binary;
        message.data = std::move(text);
        co_return message;
    }

    Awaitable<void> sendText(std::string text) override {
        auto self = this->shared_from_this();
        if (state_ != State::open || closeRequested_)
            throw TransportError(Code::connectionLost);
        auto write = std::make_shared<PendingWrite>(executor_);
        write->text = std::move(text);
        writes_.push_back(write);
        startWriter();
        if (!(co_await write->done.wait())) {
            // Not yet written: leave it out. Already on the wire: it completes regardless.
            write->abandoned = true;
            throw OperationCancelled();
        }
        if (write->error)
            throw failureOf(write->error, Step::traffic);
    }

    void close(std::uint16_t code) override {
        if (closeRequested_)
            return;
        closeRequested_ = true;
        if (state_ != State::open) {
            // Nothing to say goodbye on yet: the open in progress, if any, fails at once.
            abortTransport();
            if (state_ == State::created)
                state_ = State::closed;
            return;
        }
        state_ = State::closing;
        auto write = std::make_shared<PendingWrite>(executor_);
        write->isClose = true;
        write->closeCode = code;
        writes_.push_back(write);
        startWriter();
        closeDeadline_.expires_after(options_.closeTimeout);
        closeDeadline_.async_wait([weak = this->weak_from_this()](const error_code& error) {
            if (error)
                return;
            if (auto socket = weak.lock())
                socket->abortTransport();
        });
    }

private:
    enum class State { created, opening, open, closing, closed };

    struct PendingWrite {
        explicit PendingWrite(const Executor& executor) : done(executor) {}
        std::string text;
        bool isClose = false;
        std::uint16_t closeCode = 0;
        bool abandoned = false;
        error_code error;
        AsyncEvent done;
    };

    // Ends an open step that failed, or one that a close, the watchdog or a cancellation of the
    // opening task interrupted, whatever error the step itself reported.
    void checkOpening(const error_code& error, Step step, bool cancelled) {
        if (cancelled) {
            abortTransport();
            state_ = State::closed;
            throw OperationCancelled();
        }
        if (openTimedOut_) {
            state_ = State::closed;
            throw TransportError(Code::timedOut);
        }
        if (closeRequested_) {
            state_ = State::closed;
            throw TransportError(Code::connectionLost);
        }
        if (error) {
            abortTransport();
            state_ = State::closed;
            throw failureOf(error, step);
        }
    }

    // Closes the TCP socket under every layer: whatever is pending on it ends with an error.
    void abortTransport() {
        if (lookup_)
            lookup_->abandon();
        auto& socket = beast::get_lowest_layer(*stream_).socket();
        error_code ignored;
        if (socket.is_open()) {
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
        }
        closeDeadline_.cancel();
    }

    // Beast allows one write in flight, and a close frame is a write: every text frame and the
    // close go out through this one queue, in order.
    void startWriter() {
        if (writing_)
            return;
        writing_ = true;
        asio::co_spawn(executor_, drainWrites(this->shared_from_this()), asio::detached);
    }

    static Awaitable<void> drainWrites(std::shared_ptr<BeastWebSocket> self) {
        while (!self->writes_.empty()) {
            auto write = std::move(self->writes_.front());
            self->writes_.pop_front();
            if (write->isClose) {
                const websocket::close_reason reason(write->closeCode);
                (void)co_await self->stream_->async_close(reason, asio::as_tuple(asio::use_awaitable));
                self->abortTransport();
                self->state_ = State::closed;
                write->done.set();
                for (auto& rest : self->writes_) {
                    rest->error = asio::error::operation_aborted;
                    rest->done.set();
                }
                self->writes_.clear();
                break;
            }
            if (write->abandoned)
                continue;
            self->stream_->text(true);
            auto [error, size] = co_await self->stream_->async_write(asio::buffer(write->text),
                                                                     asio::as_tuple(asio::use_awaitable));
            (void)size;
            write->error = error;
            write->done.set();
        }
        self->writing_ = false;
    }

    Executor executor_;
    Target target_;
    BeastWebSocketConnector::Options options_;
    std::shared_ptr<ssl::context> tls_; // before the stream, which refers to it
    std::optional<Stream> stream_;
    std::shared_ptr<Lookup> lookup_;
    asio::steady_timer closeDeadline_;
    std::deque<std::shared_ptr<PendingWrite>> writes_;
    State state_ = State::created;
    bool closeRequested_ = false;
    bool openTimedOut_ = false;
    bool reading_ = false;
    bool writing_ = false;
};

// Read at each connection, so a changed SSL_CERT_FILE counts from the next connection on.
std::shared_ptr<ssl::context> makeTlsContext() {
    auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    error_code ignored;
    context->set_default_verify_paths(ignored);
    context->set_verify_mode(ssl::verify_peer);
    return context;
}

} // namespace

BeastWebSocketConnector::BeastWebSocketConnector(Executor executor, Options options)
    : executor_(std::move(executor)), options_(options) {}

std::shared_ptr<WebSocket> BeastWebSocketConnector::makeSocket(const Url& url) {
    auto target = targetOf(url);
    if (!target)
        throw TransportError(Code::badURL);
    if (target->secure) {
        return std::make_shared<BeastWebSocket<SecureStream>>(executor_, std::move(*target), options_,
                                                              makeTlsContext());
    }
    return std::make_shared<BeastWebSocket<PlainStream>>(executor_, std::move(*target), options_, nullptr);
}

} // namespace varnel

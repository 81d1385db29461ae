#include "LoopbackHttpsServer.hpp"

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <thread>

namespace varnel::testing {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

struct LoopbackHttpsServer::State {
    Handler handler;
    asio::io_context context;
    asio::ssl::context tls{asio::ssl::context::tls_server};
    tcp::acceptor acceptor{context};
    std::thread thread;
    std::atomic<std::uint64_t> streamed{0};

    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    std::vector<Request> requests;

    void record(const Request& request) {
        {
            std::lock_guard lock(mutex);
            requests.push_back(request);
        }
        arrived.notify_all();
    }
};

namespace {

using TlsStream = asio::ssl::stream<tcp::socket>;

asio::awaitable<void> writeStream(TlsStream& stream, std::uint64_t total,
                                  std::atomic<std::uint64_t>& streamed) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                             std::to_string(total) + "\r\n\r\n";
    co_await asio::async_write(stream, asio::buffer(head), asio::use_awaitable);
    std::string piece(64 * 1024, '\0');
    for (std::uint64_t offset = 0; offset < total;) {
        const std::size_t size =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), total - offset));
        for (std::size_t i = 0; i < size; ++i)
            piece[i] = LoopbackHttpsServer::patternByte(offset + i);
        co_await asio::async_write(stream, asio::buffer(piece.data(), size), asio::use_awaitable);
        offset += size;
        streamed += size;
    }
}

asio::awaitable<void> serve(LoopbackHttpsServer::State* state, tcp::socket socket) {
    using Reply = LoopbackHttpsServer::Reply;
    try {
        TlsStream stream(std::move(socket), state->tls);
        co_await stream.async_handshake(asio::ssl::stream_base::server, asio::use_awaitable);
        boost::beast::flat_buffer buffer;
        for (;;) {
            http::request_parser<http::string_body> parser;
            parser.body_limit(64 * 1024 * 1024);
            co_await http::async_read(stream, buffer, parser, asio::use_awaitable);
            const auto& message = parser.get();
            LoopbackHttpsServer::Request request{
                std::string(message.method_string()), std::string(message.target()), {}, message.body()};
            for (const auto& field : message) {
                request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
            }
            state->record(request);
            const Reply reply = state->handler(request);
            if (reply.mode == Reply::Mode::silent)
                continue; // the next read ends when the client goes
            if (reply.mode == Reply::Mode::stream) {
                co_await writeStream(stream, reply.streamBytes, state->streamed);
                continue;
            }
            http::response<http::string_body> response{static_cast<http::status>(reply.status), 11};
            for (const auto& [name, value] : reply.headers)
                response.set(name, value);
            response.body() = reply.body;
            response.prepare_payload();
            response.keep_alive(message.keep_alive());
            co_await http::async_write(stream, response, asio::use_awaitable);
            if (!message.keep_alive())
                break;
        }
    } catch (const std::exception&) {
        // The client went away or refused the handshake: the connection just ends.
    }
}

// The coroutines refer to the state plainly: the server stops and joins the thread before the
// state (and with it the io_context holding them) goes.
asio::awaitable<void> acceptLoop(LoopbackHttpsServer::State* state) {
    for (;;) {
        tcp::socket socket = co_await state->acceptor.async_accept(asio::use_awaitable);
        asio::co_spawn(state->context, serve(state, std::move(socket)), asio::detached);
    }
}

} // namespace

LoopbackHttpsServer::LoopbackHttpsServer(Handler handler) : state_(std::make_shared<State>()) {
    const auto& certificates = TestCertificates::shared();
    state_->handler = std::move(handler);
    state_->tls.use_certificate_chain_file(certificates.certificateFile.string());
    state_->tls.use_private_key_file(certificates.keyFile.string(), asio::ssl::context::pem);
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    state_->acceptor.open(endpoint.protocol());
    state_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    state_->acceptor.bind(endpoint);
    state_->acceptor.listen();
    asio::co_spawn(state_->context, acceptLoop(state_.get()), asio::detached);
    state_->thread = std::thread([state = state_.get()] { state->context.run(); });
}

LoopbackHttpsServer::~LoopbackHttpsServer() {
    state_->context.stop();
    state_->thread.join();
}

unsigned short LoopbackHttpsServer::port() const {
    return state_->acceptor.local_endpoint().port();
}

std::string LoopbackHttpsServer::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port()) + path;
}

std::uint64_t LoopbackHttpsServer::streamedBytes() const {
    return state_->streamed.load();
}

std::vector<LoopbackHttpsServer::Request> LoopbackHttpsServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

bool LoopbackHttpsServer::waitForRequests(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(state_->mutex);
    return state_->arrived.wait_for(lock, limit, [&] { return state_->requests.size() >= count; });
}

} // namespace varnel::testing

#include "Bench/BenchHttp.hpp"

#include "Bench/TestCertificates.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace varnel::testing {

Response httpReply(const Request& request, http::status status, std::string body, std::string_view contentType) {
    Response response{status, request.version()};
    response.set(http::field::content_type, contentType);
    response.body() = std::move(body);
    response.keep_alive(request.keep_alive());
    response.prepare_payload();
    return response;
}

void listenOnLoopback(tcp::acceptor& acceptor, unsigned short port) {
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    const int share = 1;
    ::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_REUSEPORT, &share, sizeof share);
    acceptor.bind(endpoint);
    acceptor.listen();
}

PortHold::PortHold(unsigned short port) : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    // Shared only with the bench's own listeners: a socket that merely reuses the address could
    // still bind beside one that does not listen.
    const int share = 1;
    ::setsockopt(socket_, SOL_SOCKET, SO_REUSEPORT, &share, sizeof share);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket_);
        throw std::runtime_error("cannot hold port " + std::to_string(port));
    }
}

PortHold::~PortHold() { ::close(socket_); }

void useTestCertificate(asio::ssl::context& tls) {
    const auto& certificates = TestCertificates::shared();
    tls.use_certificate_chain_file(certificates.certificateFile.string());
    tls.use_private_key_file(certificates.keyFile.string(), asio::ssl::context::pem);
}

} // namespace varnel::testing

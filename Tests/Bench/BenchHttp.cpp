#include "Bench/BenchHttp.hpp"

#include "Bench/TestCertificates.hpp"

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
    acceptor.bind(endpoint);
    acceptor.listen();
}

void useTestCertificate(asio::ssl::context& tls) {
    const auto& certificates = TestCertificates::shared();
    tls.use_certificate_chain_file(certificates.certificateFile.string());
    tls.use_private_key_file(certificates.keyFile.string(), asio::ssl::context::pem);
}

} // namespace varnel::testing

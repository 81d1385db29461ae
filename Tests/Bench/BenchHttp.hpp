#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/http.hpp>
#include <string>
#include <string_view>

namespace varnel::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// An answer to `request` carrying `body`, kept alive if the request asks for it.
Response httpReply(const Request& request, http::status status, std::string body,
                   std::string_view contentType = "application/json");

// Opens, binds and listens on 127.0.0.1:<port>; 0 takes an ephemeral port. The address is reused, so
// a server that restarts gets its port back at once, and the port is shared with a PortHold.
void listenOnLoopback(tcp::acceptor& acceptor, unsigned short port = 0);

// Keeps a listener's port while the listener is closed (a restart's downtime): a socket bound to it
// that does not listen, so that connections are refused as by a server that is down, while no
// other program's socket, listening or connecting, is given the port meanwhile. Made while the
// listener still holds the port.
class PortHold {
public:
    explicit PortHold(unsigned short port);
    ~PortHold();
    PortHold(const PortHold&) = delete;
    PortHold& operator=(const PortHold&) = delete;

private:
    int socket_ = -1;
};

// Gives a TLS server context the certificate the shared test authority signed.
void useTestCertificate(asio::ssl::context& tls);

} // namespace varnel::testing

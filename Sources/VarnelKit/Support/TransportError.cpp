#include "VarnelKit/Support/TransportError.hpp"

namespace varnel {

TransportError::TransportError(Code code) : Error(sentence(code)), code_(code) {}

TransportError::TransportError(Code code, std::string description)
    : Error(std::move(description)), code_(code) {}

std::string TransportError::sentence(Code code) {
    switch (code) {
    case Code::cannotConnect:
        return "Could not connect to the server.";
    case Code::timedOut:
        return "The request timed out.";
    case Code::cannotFindHost:
        return "A server with the specified hostname could not be found.";
    case Code::secureConnectionFailed:
        return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case Code::connectionLost:
        return "The network connection was lost.";
    case Code::badURL:
        return "unsupported URL";
    case Code::tooManyRedirects:
        return "too many HTTP redirects";
    case Code::replyTooLarge:
        return "The server's reply is too large.";
    case Code::tooSlow:
        return "The download was too slow.";
    case Code::other:
        break;
    }
    return "An unknown network error occurred.";
}

} // namespace varnel

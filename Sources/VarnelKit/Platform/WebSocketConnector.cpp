#include "VarnelKit/Platform/WebSocketConnector.hpp"

namespace varnel {

WebSocketUpgradeRefused::WebSocketUpgradeRefused(int status, std::string body)
    : TransportError(Code::other, "There was a bad response from the server."), status_(status),
      body_(std::move(body)) {}

} // namespace varnel

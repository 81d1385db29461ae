#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varnel::testing {

// The signatures of the Pusher protocol: a channel subscription's "auth" and the signed query of
// the HTTP API, both HMAC-SHA256 with the app secret, written as lower-case hex.
struct PusherSignature {
    static std::string hmacSha256Hex(std::string_view secret, std::string_view data);
    static std::string md5Hex(std::string_view data);

    // "<key>:<hex HMAC of '<socket id>:<channel>'>", with ":<channel data>" signed too when given
    // (presence channels).
    static std::string channelAuth(std::string_view key, std::string_view secret, std::string_view socketId,
                                   std::string_view channel, std::string_view channelData = {});

    // Checks a request to the HTTP API as a Pusher server does: auth_key is the app key,
    // body_md5 matches the body, auth_version is 1.0, and auth_signature is the HMAC of
    // "<METHOD>\n<path>\n<the other query parameters sorted by name, percent-decoded, joined by &>".
    // Gives the reason for refusing it, or none when it holds.
    static std::optional<std::string> checkRequest(std::string_view method, std::string_view path,
                                                   std::string_view query, std::string_view body,
                                                   std::string_view key, std::string_view secret);

    // Compares without an early exit, so a mismatch takes as long wherever it is.
    static bool equalInConstantTime(std::string_view a, std::string_view b);
};

} // namespace varnel::testing

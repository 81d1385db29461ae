#include "Bench/PusherSignature.hpp"

#include <algorithm>
#include <map>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <stdexcept>

namespace varnel::testing {

namespace {

std::string hex(const unsigned char* bytes, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0F]);
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A malformed escape is kept as it stands: the signature over it then fails, which is the answer.
std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

} // namespace

std::string PusherSignature::hmacSha256Hex(std::string_view secret, std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
              reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &size)) {
        throw std::runtime_error("HMAC-SHA256 failed");
    }
    return hex(digest, size);
}

std::string PusherSignature::md5Hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr)) {
        throw std::runtime_error("MD5 failed");
    }
    return hex(digest, size);
}

std::string PusherSignature::channelAuth(std::string_view key, std::string_view secret,
                                         std::string_view socketId, std::string_view channel,
                                         std::string_view channelData) {
    std::string signed_ = std::string(socketId) + ":" + std::string(channel);
    if (!channelData.empty())
        signed_ += ":" + std::string(channelData);
    return std::string(key) + ":" + hmacSha256Hex(secret, signed_);
}

std::optional<std::string> PusherSignature::checkRequest(std::string_view method, std::string_view path,
                                                         std::string_view query, std::string_view body,
                                                         std::string_view key, std::string_view secret) {
    std::map<std::string, std::string> parameters;
    while (!query.empty()) {
        const auto end = std::min(query.find('&'), query.size());
        const std::string_view pair = query.substr(0, end);
        query.remove_prefix(std::min(end + 1, query.size()));
        if (pair.empty())
            continue;
        const auto equals = pair.find('=');
        const std::string name = percentDecoded(pair.substr(0, equals));
        const std::string value =
            equals == std::string_view::npos ? "" : percentDecoded(pair.substr(equals + 1));
        if (!parameters.emplace(name, value).second)
            return "Duplicate query parameter " + name;
    }
    const auto parameter = [&](const std::string& name) -> const std::string* {
        const auto found = parameters.find(name);
        return found == parameters.end() ? nullptr : &found->second;
    };
    const std::string* authKey = parameter("auth_key");
    const std::string* timestamp = parameter("auth_timestamp");
    const std::string* version = parameter("auth_version");
    const std::string* signature = parameter("auth_signature");
    if (!authKey || !timestamp || !version || !signature) {
        return "Missing auth_key, auth_timestamp, auth_version or auth_signature";
    }
    if (*authKey != key)
        return "Unknown auth_key";
    if (*version != "1.0")
        return "Unsupported auth_version";
    const std::string* bodyMd5 = parameter("body_md5");
    if (!body.empty() || bodyMd5) {
        if (!bodyMd5 || !equalInConstantTime(*bodyMd5, md5Hex(body)))
            return "body_md5 does not match the body";
    }

    std::string canonical;
    for (const auto& [name, value] : parameters) {
        if (name == "auth_signature")
            continue;
        if (!canonical.empty())
            canonical += '&';
        canonical += name + "=" + value;
    }
    const std::string toSign = std::string(method) + "\n" + std::string(path) + "\n" + canonical;
    if (!equalInConstantTime(*signature, hmacSha256Hex(secret, toSign))) {
        return "Invalid signature: you should have sent HmacSHA256Hex(" + toSign + ", your_secret_key)";
    }
    return std::nullopt;
}

bool PusherSignature::equalInConstantTime(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

} // namespace varnel::testing

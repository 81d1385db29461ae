#include "VarnelKit/Support/Sha256.hpp"

#include <openssl/evp.h>
#include <stdexcept>

namespace varnel {

struct Sha256::Context {
    EVP_MD_CTX* md = nullptr;
    bool finished = false;

    ~Context() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    context_->md = EVP_MD_CTX_new();
    if (!context_->md || EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view bytes) {
    if (context_->finished)
        throw std::logic_error("SHA-256 updated after it was finished");
    if (bytes.empty())
        return;
    if (EVP_DigestUpdate(context_->md, bytes.data(), bytes.size()) != 1)
        throw std::runtime_error("SHA-256 failed");
}

std::string Sha256::finishHex() {
    if (context_->finished)
        throw std::logic_error("SHA-256 finished twice");
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->md, digest, &length) != 1)
        throw std::runtime_error("SHA-256 failed");
    context_->finished = true;
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(digits[digest[i] >> 4]);
        text.push_back(digits[digest[i] & 0x0F]);
    }
    return text;
}

std::string Sha256::hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.finishHex();
}

} // namespace varnel

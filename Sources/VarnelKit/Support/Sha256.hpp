#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace varnel {

// SHA-256 over bytes that arrive piece by piece, so a large download is hashed as it streams and
// never has to be held whole.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::string_view bytes);
    // The digest as 64 lower-case hexadecimal digits. Ends the computation: no update after it.
    std::string finishHex();

    // The digest of one buffer, as finishHex gives it.
    static std::string hex(std::string_view bytes);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

} // namespace varnel

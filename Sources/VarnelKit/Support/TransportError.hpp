#pragma once

#include "VarnelKit/Support/Error.hpp"

#include <string>

namespace varnel {

// A network failure below the protocol level (connect, TLS, time-out, lost connection), with a
// sentence in the words users know from their platform.
class TransportError : public Error {
public:
    enum class Code {
        cannotConnect,
        timedOut,
        cannotFindHost,
        secureConnectionFailed,
        connectionLost,
        badURL,
        tooManyRedirects,
        replyTooLarge,
        tooSlow,
        other,
    };

    explicit TransportError(Code code);
    TransportError(Code code, std::string description);

    Code code() const noexcept { return code_; }

    static std::string sentence(Code code);

private:
    Code code_;
};

} // namespace varnel

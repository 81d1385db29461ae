#pragma once

#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Platform/HttpTransport.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/Url.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

// Turns a server address and a one-time code, as a person typed them, into a stored device token
// and settings file.
class Enrollment {
public:
    struct Success {
        std::int64_t deviceId = 0;
        std::string deviceName;
        bool operator==(const Success&) const = default;
    };

    class Failure : public Error {
    public:
        enum class Kind {
            unreachable,
            server,
            serverURLMalformed,
            serverURLInsecure,
            codeEmpty,
            codeMalformed,
            codeRejected,
            machineIdentityUnavailable,
        };

        static Failure unreachable(std::string detail);
        static Failure server(std::string message);
        static Failure serverURLMalformed();
        static Failure serverURLInsecure();
        static Failure codeEmpty();
        static Failure codeMalformed();
        static Failure codeRejected();
        static Failure machineIdentityUnavailable();

        Kind kind() const noexcept { return kind_; }
        // The text of unreachable and server; empty for the other cases.
        const std::string& payload() const noexcept { return payload_; }

        // Same case and, for the two cases that carry one, the same text.
        bool operator==(const Failure& other) const { return kind_ == other.kind_ && payload_ == other.payload_; }

    private:
        Failure(Kind kind, std::string payload, std::string description);
        Kind kind_;
        std::string payload_;
    };

    // What enroll needs from the machine; replaced in tests.
    struct Environment {
        std::function<std::optional<std::string>()> machineId;
        // The transport of the fresh server client; none means the real one.
        std::shared_ptr<HttpTransport> transport;
    };

    static constexpr std::string_view defaultServerHost = "print.varnel.io";
    // "https://" and the default host.
    static Url defaultServerURL();

    // The machine's own identity and the real network.
    Enrollment();
    explicit Enrollment(Environment environment);

    // In order: server address, code, machine id; then the request through a fresh client without
    // a token; then the settings' rules (refused: nothing is stored); then the token and the
    // settings file together (StoredEnrollment). Throws Failure, the credential store's StoreError,
    // the settings file's error, or any other error of the client unchanged; after a failure the
    // enrollment stored before stays as it was.
    Awaitable<Success> enroll(std::string serverURL, std::string code, std::string agentVersion,
                              CredentialStore credentials) const;

    // Trimmed; empty means the default server; no "://" means https. Only https is accepted, and
    // only its host and port are kept.
    static Url normaliseServerURL(std::string_view raw);
    // "VRNL-XXXX-XXXX" from the code in any case, with or without dashes, blanks or prefix.
    static std::string normaliseCode(std::string_view raw);
    // What a person should read for a refused enrollment request.
    static Failure translate(const VarnelAPIClient::APIError& error);

private:
    Environment environment_;
};

std::string describe(const Enrollment::Failure& failure);

} // namespace varnel

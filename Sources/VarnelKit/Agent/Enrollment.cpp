#include "VarnelKit/Agent/Enrollment.hpp"

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/StoredEnrollment.hpp"
#include "VarnelKit/Protocol/EnrollmentRequest.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/MachineIdentity.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/Support/TransportError.hpp"

namespace varnel {

namespace {

constexpr std::string_view codeAlphabet = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ";
constexpr std::string_view codePrefix = "VRNL";
constexpr std::size_t maxMessageCharacters = 200;

// The port as written, read by hand: digits only and at most 65535.
std::optional<std::uint16_t> portNumber(std::string_view text) {
    if (text.empty()) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 65535) return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// The "message" of a JSON object body, when it is text of 1 to 200 user-perceived characters.
std::optional<std::string> humanMessage(std::string_view body) {
    try {
        const auto message = json::optString(json::parse(body), "message");
        if (!message || message->empty()) return std::nullopt;
        if (Text::graphemes(*message).size() > maxMessageCharacters) return std::nullopt;
        return message;
    } catch (const json::DecodeError&) {
        return std::nullopt;
    }
}

// The writes wait for the disk, so they run on the blocking pool.
Awaitable<void> store(CredentialStore credentials, std::string token, AgentSettings settings) {
    auto write = [&credentials, &token, &settings] { StoredEnrollment::save(credentials, token, settings); };
    co_await runBlocking(std::move(write));
}

} // namespace

// MARK: Failure

Enrollment::Failure::Failure(Kind kind, std::string payload, std::string description)
    : Error(std::move(description)), kind_(kind), payload_(std::move(payload)) {}

Enrollment::Failure Enrollment::Failure::unreachable(std::string detail) {
    return Failure(Kind::unreachable, detail, "Could not reach the server. " + detail);
}

Enrollment::Failure Enrollment::Failure::server(std::string message) {
    return Failure(Kind::server, message, message);
}

Enrollment::Failure Enrollment::Failure::serverURLMalformed() {
    return Failure(Kind::serverURLMalformed, "",
                   "That server address isn't valid. It should look like https://" + std::string(defaultServerHost) +
                       ".");
}

Enrollment::Failure Enrollment::Failure::serverURLInsecure() {
    return Failure(Kind::serverURLInsecure, "",
                   "Varnel will only enroll over https. Enrolling over http would send your code and this Mac's "
                   "credential across the network in the clear.");
}

Enrollment::Failure Enrollment::Failure::codeEmpty() {
    return Failure(Kind::codeEmpty, "", "Enter the enrollment code from the Varnel dashboard.");
}

Enrollment::Failure Enrollment::Failure::codeMalformed() {
    return Failure(Kind::codeMalformed, "", "Enrollment codes look like VRNL-7K3D-2QX8. Check the code and try again.");
}

Enrollment::Failure Enrollment::Failure::codeRejected() {
    return Failure(Kind::codeRejected, "",
                   "That code wasn't accepted. Codes expire after a few minutes and work only once \xE2\x80\x94 make a "
                   "fresh one in the dashboard under Computers \xE2\x86\x92 Add a computer.");
}

Enrollment::Failure Enrollment::Failure::machineIdentityUnavailable() {
    return Failure(Kind::machineIdentityUnavailable, "", "Could not read this Mac's hardware identifier.");
}

std::string describe(const Enrollment::Failure& failure) {
    using Kind = Enrollment::Failure::Kind;
    switch (failure.kind()) {
    case Kind::unreachable: return "unreachable(\"" + failure.payload() + "\")";
    case Kind::server: return "server(\"" + failure.payload() + "\")";
    case Kind::serverURLMalformed: return "serverURLMalformed";
    case Kind::serverURLInsecure: return "serverURLInsecure";
    case Kind::codeEmpty: return "codeEmpty";
    case Kind::codeMalformed: return "codeMalformed";
    case Kind::codeRejected: return "codeRejected";
    case Kind::machineIdentityUnavailable: break;
    }
    return "machineIdentityUnavailable";
}

// MARK: Input rules

Url Enrollment::defaultServerURL() { return Url("https://" + std::string(defaultServerHost)); }

Url Enrollment::normaliseServerURL(std::string_view raw) {
    std::string text = Text::trimWhitespace(Text::makeValidUtf8(raw));
    if (text.empty()) return defaultServerURL();
    if (text.find("://") == std::string::npos) text = "https://" + text;

    const auto parsed = parseAbsoluteUrl(text);
    if (!parsed || !parsed->has_authority() || parsed->encoded_host().empty()) throw Failure::serverURLMalformed();
    // The host is checked before the scheme: "http://" alone is malformed, not insecure.
    // Known schemes are recognised in any letter case.
    const auto scheme = parsed->scheme_id();
    if (scheme == boost::urls::scheme::http) throw Failure::serverURLInsecure();
    if (scheme != boost::urls::scheme::https) throw Failure::serverURLMalformed();

    Url url;
    url.set_scheme("https");
    url.set_encoded_host(parsed->encoded_host());
    if (parsed->has_port() && !parsed->port().empty()) {
        const auto port = portNumber(parsed->port());
        if (!port) throw Failure::serverURLMalformed();
        url.set_port_number(*port);
    }
    return url;
}

std::string Enrollment::normaliseCode(std::string_view raw) {
    std::string code;
    for (char c : Text::uppercased(Text::trimWhitespace(Text::makeValidUtf8(raw)))) {
        if (c != ' ' && c != '-') code += c;
    }
    // Looked at before the prefix goes, so the prefix alone is malformed rather than empty.
    if (code.empty()) throw Failure::codeEmpty();
    if (code.starts_with(codePrefix)) code.erase(0, codePrefix.size());
    if (code.size() != 8) throw Failure::codeMalformed();
    for (char c : code) {
        if (codeAlphabet.find(c) == std::string_view::npos) throw Failure::codeMalformed();
    }
    return std::string(codePrefix) + "-" + code.substr(0, 4) + "-" + code.substr(4);
}

Enrollment::Failure Enrollment::translate(const VarnelAPIClient::APIError& error) {
    using Kind = VarnelAPIClient::APIError::Kind;
    switch (error.kind()) {
    case Kind::http: {
        const int status = error.status();
        const auto message = humanMessage(error.body());
        if (status == 404 || status == 409 || status == 422) {
            if (message && Text::lowercased(*message).find("code") == std::string::npos) return Failure::server(*message);
            return Failure::codeRejected();
        }
        if (status == 429) return Failure::server("Too many attempts. Wait a minute and try again.");
        if (message) return Failure::server(*message);
        return Failure::server("The server returned an error (" + NumberText::integer(status) + ").");
    }
    case Kind::notAuthenticated:
        return Failure::codeRejected();
    case Kind::upgradeRequired:
    case Kind::gone:
    case Kind::decoding:
    case Kind::credentialRejected:
        break;
    }
    return Failure::unreachable(error.description());
}

// MARK: Enrolling

Enrollment::Enrollment() : Enrollment(Environment{MachineIdentity::platformUUID, nullptr}) {}

Enrollment::Enrollment(Environment environment) : environment_(std::move(environment)) {}

// g++ 12 takes the coroutine frame's own allocation and release for a mismatched pair once the
// blocking-pool hop is inlined here; the frame is allocated and freed by the same class.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
Awaitable<Enrollment::Success> Enrollment::enroll(std::string serverURL, std::string code, std::string agentVersion,
                                                  CredentialStore credentials) const {
    const Url url = normaliseServerURL(serverURL);
    const std::string canonicalCode = normaliseCode(code);
    const auto machineId = environment_.machineId ? environment_.machineId() : std::nullopt;
    if (!machineId) throw Failure::machineIdentityUnavailable();

    VarnelAPIClient client(VarnelAPIClient::Configuration{url, agentVersion, std::chrono::duration<double>(30.0)},
                           std::nullopt, environment_.transport);
    EnrollmentRequest request{canonicalCode, *machineId, MachineIdentity::hostname(), MachineIdentity::osVersion(),
                              agentVersion};

    std::optional<EnrollmentResponse> response;
    try {
        response = co_await client.enroll(std::move(request));
    } catch (const VarnelAPIClient::APIError& error) {
        throw translate(error);
    } catch (const TransportError& error) {
        throw Failure::unreachable(error.description());
    }

    // The rules every reading of the settings applies again, checked before anything is stored.
    AgentSettings settings{response->deviceId, response->name, url, response->reverb};
    if (const auto breach = settings.breach()) {
        if (*breach == AgentSettings::Breach::serverNotHttps)
            throw Failure::serverURLInsecure();
        throw Failure::server("This server asked us to open an unencrypted realtime connection to " +
                              response->reverb.host +
                              ". Varnel will not do that. Set REVERB_SCHEME=https on the server and try again.");
    }
    co_await store(credentials, response->token, std::move(settings));
    co_return Success{response->deviceId, response->name};
}
#pragma GCC diagnostic pop

} // namespace varnel

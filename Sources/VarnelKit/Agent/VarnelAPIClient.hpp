#pragma once

#include "VarnelKit/Agent/AgentEventReport.hpp"
#include "VarnelKit/Platform/HttpTransport.hpp"
#include "VarnelKit/Protocol/EnrollmentRequest.hpp"
#include "VarnelKit/Protocol/JobPayload.hpp"
#include "VarnelKit/Protocol/JobResultRequest.hpp"
#include "VarnelKit/Protocol/PendingJob.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/Json.hpp"
#include "VarnelKit/Support/Url.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// The one client of the management server's HTTP API. An actor: used only on the agent loop.
// It neither logs nor retries; every failure reaches the caller once, as an APIError, a
// TransportError from the transport, or the error of a body that could not be encoded. A request
// of a cancelled task fails with OperationCancelled.
class VarnelAPIClient {
public:
    struct Configuration {
        Url baseURL;
        std::string agentVersion;
        std::chrono::duration<double> timeout{30.0};
    };

    class APIError : public Error {
    public:
        enum class Kind { http, upgradeRequired, gone, decoding, notAuthenticated, credentialRejected };

        // The most characters of the server's text (an error body, a version, a code) that the
        // description quotes, on one line without control characters.
        static constexpr std::size_t serverTextLimit = 1000;

        static APIError http(int status, std::string body);
        static APIError upgradeRequired(std::string minimumVersion);
        static APIError gone(std::optional<std::string> code);
        static APIError decoding(std::string detail);
        static APIError notAuthenticated();
        static APIError credentialRejected();

        Kind kind() const noexcept { return kind_; }
        // http: the status and the reply body as text.
        int status() const noexcept { return status_; }
        const std::string& body() const noexcept { return text_; }
        // upgradeRequired: the minimum version; decoding: the detail.
        const std::string& text() const noexcept { return text_; }
        // gone: the server's error code, if it gave one.
        const std::optional<std::string>& code() const noexcept { return code_; }

    private:
        APIError(Kind kind, std::string description);
        Kind kind_;
        int status_ = 0;
        std::string text_;
        std::optional<std::string> code_;
    };

    // An update the server offers in its heartbeat reply. Decoded only.
    struct AgentUpdate {
        std::string version;
        Url downloadURL;
        std::optional<Url> notesURL;
        std::string sha256;
        bool required = false;

        // Every field, the checksum's letter case included; URLs as written.
        bool operator==(const AgentUpdate& other) const;

        static AgentUpdate fromJson(const json::Value& value);
    };

    // Sends nothing and starts nothing. Without a transport the real one (libcurl) is used.
    VarnelAPIClient(Configuration configuration, std::optional<std::string> token,
                    std::shared_ptr<HttpTransport> transport = nullptr);

    const Configuration& configuration() const noexcept { return config_; }
    // Affects requests built after the call, not those in flight.
    void setToken(std::optional<std::string> token) { token_ = std::move(token); }
    bool hasToken() const noexcept { return token_.has_value(); }

    // The URL of a path relative to the base URL, with exactly one "/" between the base's own path
    // and `path` (which never begins with "/").
    static Url endpoint(const Url& base, std::string_view path);

    Awaitable<EnrollmentResponse> enroll(EnrollmentRequest request);
    // The offered update, or none. A reply that does not decode means no offer, not an error.
    Awaitable<std::optional<AgentUpdate>> heartbeat(std::int64_t deviceId, std::optional<std::string> osVersion);
    Awaitable<void> syncPrinters(std::int64_t deviceId, std::vector<ReportedPrinter> printers);
    Awaitable<std::vector<ReportedPrinter>> assignedPrinters(std::int64_t deviceId);
    Awaitable<std::vector<PendingJob>> pendingJobs(std::int64_t deviceId);
    Awaitable<JobPayload> job(std::int64_t id);
    Awaitable<void> submitResult(std::int64_t jobId, JobResultRequest result);
    // `timeout` replaces the configured one for this request only (the last report at quit has
    // little time).
    Awaitable<void> reportEvents(std::int64_t deviceId, std::vector<AgentEventReport> events,
                                 std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    Awaitable<std::string> authorizeChannel(std::string socketId, std::string channelName);

private:
    using Body = std::function<json::Ordered()>;

    // Builds and sends one request and maps the reply's status. The body is made only after the
    // token check, so a request without a token encodes nothing and sends nothing.
    Awaitable<std::string> sendRaw(std::string method, std::string path, Body body, bool authenticated,
                                   std::optional<std::chrono::milliseconds> timeout = std::nullopt);

    Configuration config_;
    std::shared_ptr<HttpTransport> transport_;
    std::optional<std::string> token_;
};

} // namespace varnel

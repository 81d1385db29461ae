#include "VarnelKit/Agent/VarnelAPIClient.hpp"

#include "VarnelKit/Platform/CurlHttpTransport.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/HeapMemory.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/SafeText.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <new>
#include <type_traits>

namespace varnel {

using APIError = VarnelAPIClient::APIError;

// MARK: APIError

APIError::APIError(Kind kind, std::string description) : Error(std::move(description)), kind_(kind) {}

namespace {

// The server's own words in a description, which is logged and printed: a whole error page (or
// an escape sequence in it) must not reach a log line or a terminal. The accessors keep them whole.
std::string serverWords(std::string_view serverText) {
    return SafeText::line(serverText, APIError::serverTextLimit);
}

} // namespace

APIError APIError::http(int status, std::string body) {
    APIError error(Kind::http, "HTTP " + NumberText::integer(status) + ": " + serverWords(body));
    error.status_ = status;
    error.text_ = std::move(body);
    return error;
}

APIError APIError::upgradeRequired(std::string minimumVersion) {
    APIError error(Kind::upgradeRequired, "Agent update required (minimum " + serverWords(minimumVersion) + ")");
    error.text_ = std::move(minimumVersion);
    return error;
}

APIError APIError::gone(std::optional<std::string> code) {
    APIError error(Kind::gone, "Job no longer available (" + serverWords(code.value_or("gone")) + ")");
    error.code_ = std::move(code);
    return error;
}

APIError APIError::decoding(std::string detail) {
    APIError error(Kind::decoding, "Malformed response: " + serverWords(detail));
    error.text_ = std::move(detail);
    return error;
}

APIError APIError::notAuthenticated() {
    return APIError(Kind::notAuthenticated, "No agent token \xE2\x80\x94 this Mac is not enrolled");
}

APIError APIError::credentialRejected() {
    return APIError(Kind::credentialRejected, "This Mac's access was removed. Set it up again to reconnect.");
}

// MARK: AgentUpdate

namespace {

Url requireUrl(const json::Value& object, std::string_view key) {
    auto url = parseUrlReference(json::requireString(object, key));
    if (!url) throw json::DecodeError(std::string(key) + ": not a URL");
    return std::move(*url);
}

std::optional<Url> optionalUrl(const json::Value& object, std::string_view key) {
    if (!json::optionalMember(object, key)) return std::nullopt;
    return requireUrl(object, key);
}

bool sameUrl(const std::optional<Url>& a, const std::optional<Url>& b) {
    if (!a || !b) return !a && !b;
    return a->buffer() == b->buffer();
}

} // namespace

bool VarnelAPIClient::AgentUpdate::operator==(const AgentUpdate& other) const {
    return version == other.version && downloadURL.buffer() == other.downloadURL.buffer() &&
           sameUrl(notesURL, other.notesURL) && sha256 == other.sha256 && required == other.required;
}

VarnelAPIClient::AgentUpdate VarnelAPIClient::AgentUpdate::fromJson(const json::Value& value) {
    json::requireObject(value, "update");
    AgentUpdate update;
    update.version = json::requireString(value, "version");
    update.downloadURL = requireUrl(value, "download_url");
    update.notesURL = optionalUrl(value, "notes_url");
    update.sha256 = json::requireString(value, "sha256");
    update.required = json::optBool(value, "required").value_or(false);
    return update;
}

// MARK: Client

namespace {

// Decodes a 2xx reply; any failure becomes APIError.decoding with the decoder's own words.
template <class Decode> auto decodeReply(const std::string& bytes, Decode decode) -> decltype(decode(json::Value{})) {
    try {
        return decode(json::parse(bytes));
    } catch (const json::DecodeError& error) {
        throw APIError::decoding(error.description());
    } catch (const nlohmann::json::exception& error) {
        throw APIError::decoding(error.what());
    } catch (const std::bad_alloc&) {
        throw APIError::decoding("the reply is too large to read in the memory available");
    }
}

// A small reply is read where it arrives; a large one on the loop's pool, so that no reply holds
// the loop up for long, and the memory its reading freed goes back to the system there. Nobody
// needs the result once the caller stopped. `work` owns what it reads.
template <class Work> Awaitable<std::invoke_result_t<Work&>> offLoopIfLarge(std::size_t size, Work work) {
    if (size <= json::parseOnLoopLimit) co_return work();
    co_return co_await runBlockingCancellable(HeapMemory::thenReturnFreedMemory(size, std::move(work)));
}

template <class Decode>
Awaitable<std::invoke_result_t<Decode&, const json::Value&>> decodeReplyOffLoop(std::string bytes, Decode decode) {
    const std::size_t size = bytes.size();
    auto work = [bytes = std::move(bytes), decode] { return decodeReply(bytes, decode); };
    co_return co_await offLoopIfLarge(size, std::move(work));
}

std::optional<std::string> goneCode(const std::string& body) {
    try {
        return json::optString(json::parse(body), "error_code");
    } catch (const json::DecodeError&) {
        return std::nullopt;
    }
}

std::string minimumVersion(const std::string& body) {
    try {
        return json::requireString(json::parse(body), "minimum_version");
    } catch (const json::DecodeError&) {
        return "unknown";
    }
}

// The reply body of a 2xx status, or the APIError its status means.
std::string mapReply(HttpResponse response) {
    const int status = response.status;
    if (status <= 0) throw APIError::http(-1, "Non-HTTP response");
    if (status >= 200 && status <= 299) return std::move(response.body);
    if (status == 401 || status == 403) throw APIError::credentialRejected();
    if (status == 410) throw APIError::gone(goneCode(response.body));
    if (status == 426) throw APIError::upgradeRequired(minimumVersion(response.body));
    throw APIError::http(status, Text::isValidUtf8(response.body) ? std::move(response.body) : "<binary>");
}

std::string idText(std::int64_t id) { return NumberText::integer(id); }

} // namespace

VarnelAPIClient::VarnelAPIClient(Configuration configuration, std::optional<std::string> token,
                                 std::shared_ptr<HttpTransport> transport)
    : config_(std::move(configuration)),
      transport_(transport ? std::move(transport) : std::make_shared<CurlHttpTransport>()),
      token_(std::move(token)) {}

Url VarnelAPIClient::endpoint(const Url& base, std::string_view path) {
    Url url = base;
    std::string joined(url.encoded_path());
    if (joined.empty() || joined.back() != '/') joined += '/';
    joined += path;
    url.set_encoded_path(joined);
    return url;
}

Awaitable<std::string> VarnelAPIClient::sendRaw(std::string method, std::string path, Body body, bool authenticated,
                                                std::optional<std::chrono::milliseconds> timeout) {
    HttpRequest request;
    request.method = std::move(method);
    request.url = std::string(endpoint(config_.baseURL, path).buffer());
    request.timeout = timeout.value_or(std::chrono::duration_cast<std::chrono::milliseconds>(config_.timeout));
    request.headers.emplace_back("Accept", "application/json");
    request.headers.emplace_back("X-Varnel-Agent-Version", config_.agentVersion);
    if (authenticated) {
        if (!token_) throw APIError::notAuthenticated();
        request.headers.emplace_back("Authorization", "Bearer " + *token_);
    }
    if (body) {
        request.headers.emplace_back("Content-Type", "application/json");
        request.body = json::dump(body());
    }
    auto response = co_await transport_->send(std::move(request));
    // An error's body is read too (its code, its text), so a large one is mapped off the loop.
    const std::size_t size = response.body.size();
    auto map = [response = std::move(response)]() mutable { return mapReply(std::move(response)); };
    co_return co_await offLoopIfLarge(size, std::move(map));
}

Awaitable<EnrollmentResponse> VarnelAPIClient::enroll(EnrollmentRequest request) {
    auto bytes = co_await sendRaw("POST", "api/v1/devices/enroll", [&request] { return request.toJson(); }, false);
    const auto decode = [](const json::Value& v) { return EnrollmentResponse::fromJson(v); };
    co_return co_await decodeReplyOffLoop(std::move(bytes), decode);
}

Awaitable<std::optional<VarnelAPIClient::AgentUpdate>> VarnelAPIClient::heartbeat(std::int64_t deviceId,
                                                                                   std::optional<std::string> osVersion) {
    const std::string agentVersion = config_.agentVersion;
    const auto heartbeatBody = [&agentVersion, &osVersion] {
        json::Ordered object = json::Ordered::object();
        object["agent_version"] = agentVersion;
        json::putOptional(object, "os_version", osVersion);
        return object;
    };
    auto bytes = co_await sendRaw("POST", "api/v1/devices/" + idText(deviceId) + "/heartbeat", heartbeatBody, true);
    const std::size_t size = bytes.size();
    auto decode = [bytes = std::move(bytes)]() -> std::optional<AgentUpdate> {
        try {
            const json::Value reply = json::parse(bytes);
            const json::Value* update = json::optionalMember(reply, "update");
            if (!update) return std::nullopt;
            return AgentUpdate::fromJson(*update);
        } catch (const json::DecodeError&) {
            return std::nullopt;
        } catch (const nlohmann::json::exception&) {
            return std::nullopt;
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        }
    };
    co_return co_await offLoopIfLarge(size, std::move(decode));
}

Awaitable<void> VarnelAPIClient::syncPrinters(std::int64_t deviceId, std::vector<ReportedPrinter> printers) {
    (void)co_await sendRaw("PUT", "api/v1/devices/" + idText(deviceId) + "/printers",
                           [&printers] { return PrinterSyncRequest{printers}.toJson(); }, true);
}

Awaitable<std::vector<ReportedPrinter>> VarnelAPIClient::assignedPrinters(std::int64_t deviceId) {
    auto bytes = co_await sendRaw("GET", "api/v1/devices/" + idText(deviceId) + "/printers", nullptr, true);
    const auto decode = [](const json::Value& v) { return PrinterSyncRequest::fromJson(v).printers; };
    co_return co_await decodeReplyOffLoop(std::move(bytes), decode);
}

Awaitable<std::vector<PendingJob>> VarnelAPIClient::pendingJobs(std::int64_t deviceId) {
    auto bytes = co_await sendRaw("GET", "api/v1/devices/" + idText(deviceId) + "/jobs/pending", nullptr, true);
    const auto decode = [](const json::Value& v) { return PendingJobsResponse::fromJson(v).jobs; };
    co_return co_await decodeReplyOffLoop(std::move(bytes), decode);
}

Awaitable<JobPayload> VarnelAPIClient::job(std::int64_t id) {
    auto bytes = co_await sendRaw("GET", "api/v1/jobs/" + idText(id), nullptr, true);
    // A job's reply carries its whole payload, up to many megabytes: parsed on the pool, so the
    // channel and the other jobs go on meanwhile. Nobody needs the result once the caller stopped.
    auto decode = [bytes = std::move(bytes)] {
        return decodeReply(bytes, [](const json::Value& v) { return JobPayload::fromJson(v); });
    };
    co_return co_await runBlockingCancellable(std::move(decode));
}

Awaitable<void> VarnelAPIClient::submitResult(std::int64_t jobId, JobResultRequest result) {
    (void)co_await sendRaw("POST", "api/v1/jobs/" + idText(jobId) + "/result", [&result] { return result.toJson(); },
                           true);
}

Awaitable<void> VarnelAPIClient::reportEvents(std::int64_t deviceId, std::vector<AgentEventReport> events,
                                              std::optional<std::chrono::milliseconds> timeout) {
    (void)co_await sendRaw("POST", "api/v1/devices/" + idText(deviceId) + "/events",
                           [&events] { return AgentEventBatch{events}.toJson(); }, true, timeout);
}

Awaitable<std::string> VarnelAPIClient::authorizeChannel(std::string socketId, std::string channelName) {
    const auto authBody = [&socketId, &channelName] {
        json::Ordered object = json::Ordered::object();
        object["socket_id"] = socketId;
        object["channel_name"] = channelName;
        return object;
    };
    auto bytes = co_await sendRaw("POST", "api/broadcasting/auth", authBody, true);
    const auto decode = [](const json::Value& v) { return json::requireString(v, "auth"); };
    co_return co_await decodeReplyOffLoop(std::move(bytes), decode);
}

} // namespace varnel

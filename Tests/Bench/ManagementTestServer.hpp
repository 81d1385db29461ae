#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::testing {

class PusherTestServer;

// The operations of the management API that an agent calls, for scripting faults per operation.
enum class ManagementOperation {
    enroll,           // POST api/v1/devices/enroll
    heartbeat,        // POST api/v1/devices/<id>/heartbeat
    syncPrinters,     // PUT  api/v1/devices/<id>/printers
    assignedPrinters, // GET  api/v1/devices/<id>/printers
    pendingJobs,      // GET  api/v1/devices/<id>/jobs/pending
    job,              // GET  api/v1/jobs/<id>
    result,           // POST api/v1/jobs/<id>/result
    events,           // POST api/v1/devices/<id>/events
    channelAuth,      // POST api/broadcasting/auth
};

// "enroll", "heartbeat", "printers.sync", "printers.assigned", "jobs.pending", "job", "result",
// "events", "auth": the names the control port uses.
std::string_view operationName(ManagementOperation operation);
std::optional<ManagementOperation> operationNamed(std::string_view name);

// How the server tells the agent about a new job.
enum class JobDelivery {
    pushed,  // a "job.created" event on the device's channel only
    pending, // listed by the pending-jobs request only
    both,
};

struct BenchJob {
    std::string printerKey;
    std::string language = "zpl";
    std::string payload;
    std::string encoding = "text"; // or "base64"
    std::int64_t copies = 1;
    std::int64_t printerId = 1;
    std::optional<std::chrono::system_clock::time_point> expiresAt = std::nullopt;
    JobDelivery delivery = JobDelivery::pushed;
};

struct ManagementServerOptions {
    std::int64_t deviceId = 1;
    std::string deviceName = "Bench Device";
    std::string token = "varnel-bench-token";
    std::string enrollmentCode = "BENCH-0001";
    // 0: an ephemeral port.
    unsigned short port = 0;
};

// The management server's HTTPS API on 127.0.0.1, on a thread and io_context of its own, with the
// certificate of the shared test authority. It answers every operation the agent calls as the real
// server does (bearer token checked, 401 on a wrong one), keeps what the agent sent, and holds the
// jobs a test creates. Pushed jobs are announced through the Pusher server it is given, which also
// signs channel subscriptions. Connections are kept alive. Every method may be called from any thread.
class ManagementTestServer {
public:
    using Options = ManagementServerOptions;
    using Clock = std::chrono::steady_clock;

    struct RequestRecord {
        std::optional<ManagementOperation> operation; // none for a path the API does not have
        std::string method;
        std::string target;
        std::string body;
        int status = 0; // 0 while held by a stall, or when the connection ended first
        Clock::time_point at;
        bool written = false; // the whole reply has been handed to the connection
    };

    // What the server has seen. The per-operation lists hold only requests that were answered with
    // success; `requests` holds every request, in the order they arrived.
    struct Snapshot {
        std::vector<nlohmann::json> enrollments;
        std::vector<nlohmann::json> heartbeats;
        std::vector<nlohmann::json> printerSyncs;
        std::size_t assignedPrinterFetches = 0;
        std::size_t pendingFetches = 0;
        std::vector<std::int64_t> jobFetches;
        std::map<std::int64_t, std::vector<nlohmann::json>> results;
        std::vector<nlohmann::json> events; // each event of each batch
        std::vector<nlohmann::json> authCalls;
        std::vector<RequestRecord> requests;
        std::size_t unauthorized = 0; // 401s for a missing or wrong token
        std::size_t connectionsAccepted = 0;
        std::size_t openConnections = 0;
        std::size_t stalled = 0; // requests held right now
        std::size_t restarts = 0;

        // Requests of an operation that arrived, however they were answered.
        std::size_t requestCount(ManagementOperation operation) const;
        std::size_t resultCount(std::int64_t jobId) const;
        // The last accepted result of a job, or null.
        const nlohmann::json* lastResult(std::int64_t jobId) const;
        // The "kind" of each recorded event.
        std::vector<std::string> eventKinds() const;
    };

    ManagementTestServer(PusherTestServer& pusher, Options options = {});
    ~ManagementTestServer();
    ManagementTestServer(const ManagementTestServer&) = delete;
    ManagementTestServer& operator=(const ManagementTestServer&) = delete;

    const Options& options() const;
    unsigned short port() const;
    std::string baseUrl() const; // https://127.0.0.1:<port>
    std::string channelName() const; // private-device.<device id>

    // Jobs. Ids start at 1001 and are never reused.
    std::int64_t createJob(BenchJob job);
    // Announces the job on the channel (again).
    void push(std::int64_t jobId);
    // Gives the job an expiry in the past; it stays fetchable and listed.
    void expire(std::int64_t jobId);
    // The job is gone: its fetch answers 410 and it leaves the pending list.
    void remove(std::int64_t jobId);
    // Jobs listed as pending: created so, with no result accepted yet and not removed.
    std::vector<std::int64_t> pendingJobIds() const;

    // What GET printers answers: a JSON array of printers. Empty until set.
    void setAssignedPrinters(nlohmann::json printers);
    // The "update" member of heartbeat replies; none: no offer.
    void setUpdateOffer(std::optional<nlohmann::json> update);

    // Scripted faults, applied before the token check. The next `count` requests of the operation
    // are answered with `status` and `body` (by default a body fitting the status: 426 carries
    // "minimum_version" "99.0.0", 410 "error_code" "job_gone").
    void failNext(ManagementOperation operation, int status, std::size_t count = 1,
                  std::optional<std::string> body = std::nullopt);
    // The next `count` requests of the operation are held unanswered until releaseStalled() or until
    // the client closes the connection; a released request is then answered as usual.
    void stallNext(ManagementOperation operation, std::size_t count = 1);
    void releaseStalled();
    void clearFaults();

    // Closes every connection and both listeners of this server and of its Pusher server, waits
    // `downtime` (connections are refused meanwhile), then listens again on the same ports.
    // Jobs and records are kept, as a real server keeps its database.
    void restart(std::chrono::milliseconds downtime = std::chrono::milliseconds(0));

    Snapshot snapshot() const;
    // Waits until `condition` holds for the recorded state (checked at every change); false when
    // the time ran out first. The condition runs under the server's lock: it must not call back.
    bool waitFor(const std::function<bool(const Snapshot&)>& condition, std::chrono::milliseconds limit) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace varnel::testing

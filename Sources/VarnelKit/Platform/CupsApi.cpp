#include "VarnelKit/Platform/CupsApi.hpp"

#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <algorithm>
#include <cups/cups.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-id128.h>

namespace varnel {

namespace {

using Clock = std::chrono::steady_clock;

thread_local CupsApi::Abandon* currentAbandon = nullptr;

// Text from the library is made valid UTF-8 where it enters.
std::optional<std::string> text(const char* value) {
    if (!value) return std::nullopt;
    return Text::makeValidUtf8(value);
}

// How often a call that waits for the scheduler looks at its limit and at the abandon flag.
constexpr double waitTick = 0.1;

// A connection to the scheduler of our own, rather than the library's implicit one, so that every
// wait on it can be given a limit: the library then asks keepWaiting() every tick.
struct SchedulerConnection {
    http_t* http = nullptr;
    std::string server;
    int port = 0;
    Clock::time_point deadline;
    std::chrono::seconds limit = CupsApi::callLimit;
    enum class Cut { no, byLimit, abandoned, unreachable, unanswered } cut = Cut::no;
    std::string unansweredReason; // for Cut::unanswered

    SchedulerConnection() = default;
    SchedulerConnection(const SchedulerConnection&) = delete;
    SchedulerConnection& operator=(const SchedulerConnection&) = delete;
    ~SchedulerConnection() { close(); }
    void close() {
        if (http) httpClose(http);
        http = nullptr;
    }
};

// Each pool thread's connection, for every call but a job's creation.
thread_local SchedulerConnection threadConnection;

int keepWaiting(http_t*, void* data) {
    auto& connection = *static_cast<SchedulerConnection*>(data);
    if (CupsApi::AbandonScope::raised()) {
        connection.cut = SchedulerConnection::Cut::abandoned;
        return 0;
    }
    if (Clock::now() >= connection.deadline) {
        connection.cut = SchedulerConnection::Cut::byLimit;
        return 0;
    }
    return 1;
}

// The connection for one call, opened (again) when there is none, with the call's limit set; none
// when the scheduler cannot be reached or the call is given up before it began.
http_t* beginCall(SchedulerConnection& connection, std::chrono::seconds limit = CupsApi::callLimit) {
    connection.cut = SchedulerConnection::Cut::no;
    connection.limit = limit;
    connection.deadline = Clock::now() + limit;
    if (CupsApi::AbandonScope::raised()) {
        connection.cut = SchedulerConnection::Cut::abandoned;
        return nullptr;
    }
    const std::string server = cupsServer();
    const int port = ippPort();
    if (connection.http && (server != connection.server || port != connection.port)) connection.close();
    if (!connection.http) {
        const auto connectLimit = std::chrono::duration_cast<std::chrono::milliseconds>(CupsApi::callLimit);
        connection.http = httpConnect2(server.c_str(), port, nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                       static_cast<int>(connectLimit.count()), nullptr);
        if (!connection.http) {
            connection.cut = SchedulerConnection::Cut::unreachable;
            return nullptr;
        }
        httpSetTimeout(connection.http, waitTick, keepWaiting, &connection);
        connection.server = server;
        connection.port = port;
    }
    if (auto* abandon = CupsApi::AbandonScope::current()) abandon->watch(httpGetFd(connection.http));
    return connection.http;
}

struct CallEnd {
    bool cut = false;            // by its limit, or by the abandon at a tick
    bool abandonRaised = false;  // the abandon was raised by the call's end, and may have woken it
};

// A call cut short, or woken by the abandon's shutdown, leaves the connection in the middle of an
// exchange: it is not used again.
CallEnd endCall(SchedulerConnection& connection) {
    CallEnd end;
    if (auto* abandon = CupsApi::AbandonScope::current()) {
        abandon->watch(-1);
        end.abandonRaised = abandon->isRaised();
    }
    end.cut = connection.cut != SchedulerConnection::Cut::no;
    if (end.cut || end.abandonRaised) connection.close();
    return end;
}

// For a listing, whose result cannot tell a whole answer from one cut by the abandon's wake: true
// when the call was cut or given up.
bool endListingCall(SchedulerConnection& connection = threadConnection) {
    const auto end = endCall(connection);
    if (end.abandonRaised && !end.cut) connection.cut = SchedulerConnection::Cut::abandoned;
    return end.cut || end.abandonRaised;
}

// One call on the thread's connection: its result, or `unanswered` when the scheduler could not be
// reached or the call was cut short. A call that ends once the abandon was raised keeps its result
// only when `isAnswer` says the scheduler gave it (an answer that had come before the abandon woke
// the call); a failure then may be the wake's own doing.
template <class Result, class Call, class IsAnswer>
Result oneCall(Result unanswered, std::chrono::seconds limit, Call&& call, IsAnswer&& isAnswer,
               SchedulerConnection& connection = threadConnection) {
    http_t* http = beginCall(connection, limit);
    if (!http) return unanswered;
    const Result result = call(http);
    const auto end = endCall(connection);
    if (end.cut) return unanswered;
    if (end.abandonRaised && !isAnswer(result)) {
        connection.cut = SchedulerConnection::Cut::abandoned;
        return unanswered;
    }
    return result;
}

bool isContinue(int status) { return status == HTTP_STATUS_CONTINUE; }

// A piece of a document that did not go out leaves the request unfinished: the connection cannot
// carry another one.
int dataCall(const std::function<int(http_t*)>& call) {
    const int status = oneCall(static_cast<int>(HTTP_STATUS_ERROR), CupsApi::dataLimit, call, isContinue);
    if (status != HTTP_STATUS_CONTINUE) threadConnection.close();
    return status;
}

// Destinations do not carry "printer-state-message"; one CUPS-Get-Printers request asks the
// scheduler for it, printer by printer.
std::map<std::string, std::string> stateMessages(http_t* http) {
    std::map<std::string, std::string> messages;
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    static const char* const requested[] = {"printer-name", "printer-state-message"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, requested);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ipp_t* response = cupsDoRequest(http, request, "/"); // frees the request
    if (!response) return messages;

    std::optional<std::string> name;
    std::optional<std::string> message;
    const auto commit = [&] {
        if (name && message) messages[*name] = *message;
        name.reset();
        message.reset();
    };
    for (ipp_attribute_t* attribute = ippFirstAttribute(response); attribute; attribute = ippNextAttribute(response)) {
        const char* attributeName = ippGetName(attribute);
        if (!attributeName) { // the separator between two printers
            commit();
            continue;
        }
        if (ippGetGroupTag(attribute) != IPP_TAG_PRINTER) continue;
        const std::string_view key(attributeName);
        if (key == "printer-name") name = text(ippGetString(attribute, 0, nullptr));
        if (key == "printer-state-message") message = text(ippGetString(attribute, 0, nullptr));
    }
    commit();
    ippDelete(response);
    return messages;
}

// The queue's address, as the library's own requests name it.
std::string printerUri(const std::optional<std::string>& queue) {
    char uri[HTTP_MAX_URI];
    if (queue) {
        httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/printers/%s",
                         queue->c_str());
    } else {
        httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/");
    }
    return uri;
}

ipp_t* newRequest(ipp_op_t operation) {
    ipp_t* request = ippNewRequest(operation);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return request;
}

// A fresh uuid for a job, so that the job is known by it from the moment it is made.
std::string newJobUuid() {
    sd_id128_t id;
    if (sd_id128_randomize(&id) < 0) return {};
    char text[SD_ID128_UUID_STRING_MAX];
    return std::string("urn:uuid:") + sd_id128_to_uuid_string(id, text);
}

// The uuid the scheduler gives the job with that id; empty when it gives none or no such job.
std::string uuidOfJob(http_t* http, std::int32_t jobId) {
    ipp_t* request = newRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/jobs/%d",
                     static_cast<int>(jobId));
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "job-uuid");
    ipp_t* response = cupsDoRequest(http, request, "/jobs/"); // frees the request
    std::string uuid;
    if (response && ippGetStatusCode(response) <= IPP_STATUS_OK_CONFLICTING) {
        if (const char* value = ippGetString(ippFindAttribute(response, "job-uuid", IPP_TAG_URI), 0, nullptr))
            uuid = value;
    }
    ippDelete(response);
    return uuid;
}

// Which socket a connection now uses: the library opens a new one on its own when it finds the old
// one closed, and then sends its request to whatever scheduler listens there now. The copy of the
// descriptor keeps the socket in being, so that a new one can never take its identity.
class SocketIdentity {
public:
    explicit SocketIdentity(http_t* http) : socket_(::fcntl(httpGetFd(http), F_DUPFD_CLOEXEC, 0)) {}

    int descriptor() const noexcept { return socket_.get(); }
    // True while `http` still uses this socket and the scheduler has not closed it.
    bool stillIn(http_t* http) const {
        struct stat own {};
        struct stat now {};
        return socket_.isOpen() && ::fstat(socket_.get(), &own) == 0 && ::fstat(httpGetFd(http), &now) == 0 &&
               own.st_ino == now.st_ino && own.st_dev == now.st_dev && isOpen(socket_.get());
    }
    // No end, error or stray byte on the socket: the scheduler sends nothing unasked.
    static bool isOpen(int descriptor) noexcept {
        pollfd look{descriptor, POLLIN | POLLRDHUP, 0};
        int ready = 0;
        do {
            ready = ::poll(&look, 1, 0);
        } while (ready < 0 && errno == EINTR);
        return ready == 0;
    }

private:
    Descriptor socket_;
};

// The connection a job was made on, kept open and idle for as long as the job is followed.
class ConnectionWitness final : public CupsSchedulerWitness {
public:
    ConnectionWitness(std::unique_ptr<SchedulerConnection> connection, std::unique_ptr<SocketIdentity> socket)
        : connection_(std::move(connection)), socket_(std::move(socket)) {}

    bool unbroken() const noexcept override {
        if (broken_.load()) return false;
        if (SocketIdentity::isOpen(socket_->descriptor())) return true;
        broken_ = true;
        return false;
    }

private:
    std::unique_ptr<SchedulerConnection> connection_; // never used again, but not closed: a closed
                                                      // TLS session would end the witness
    std::unique_ptr<SocketIdentity> socket_;
    mutable std::atomic<bool> broken_{false};
};

// What a Get-Jobs answer says of each job, one group of attributes a job.
std::vector<CupsJob> jobsOf(ipp_t* response) {
    std::vector<CupsJob> jobs;
    std::optional<CupsJob> job;
    const auto commit = [&] {
        if (job && job->id > 0) jobs.push_back(std::move(*job));
        job.reset();
    };
    for (ipp_attribute_t* attribute = ippFirstAttribute(response); attribute; attribute = ippNextAttribute(response)) {
        const char* name = ippGetName(attribute);
        if (!name || ippGetGroupTag(attribute) != IPP_TAG_JOB) { // the separator between two jobs
            commit();
            continue;
        }
        if (!job) job.emplace();
        const std::string_view key(name);
        if (key == "job-id") job->id = ippGetInteger(attribute, 0);
        if (key == "job-state") job->state = ippGetInteger(attribute, 0);
        if (key == "time-at-creation") job->creationTime = ippGetInteger(attribute, 0);
        if (key == "number-of-documents") job->documents = ippGetInteger(attribute, 0);
        if (key == "job-uuid") job->uuid = text(ippGetString(attribute, 0, nullptr)).value_or("");
        if (key == "job-printer-uri") {
            const auto uri = text(ippGetString(attribute, 0, nullptr)).value_or("");
            if (const auto slash = uri.rfind('/'); slash != std::string::npos) job->dest = uri.substr(slash + 1);
        }
        if (key == "job-state-reasons") {
            for (int i = 0; i < ippGetCount(attribute); ++i) {
                if (auto reason = text(ippGetString(attribute, i, nullptr))) job->stateReasons.push_back(*reason);
            }
        }
    }
    commit();
    return jobs;
}

class LibCupsApi final : public CupsApi {
public:
    std::vector<CupsDestination> destinations() override {
        std::vector<CupsDestination> result;
        http_t* http = beginCall(threadConnection);
        if (!http) return result;
        cups_dest_t* dests = nullptr;
        const int count = cupsGetDests2(http, &dests);
        result.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
        for (int i = 0; i < count; ++i) {
            const cups_dest_t& dest = dests[i];
            CupsDestination destination{text(dest.name), text(dest.instance), {}};
            for (int j = 0; j < dest.num_options; ++j) {
                destination.options.push_back({text(dest.options[j].name), text(dest.options[j].value)});
            }
            result.push_back(std::move(destination));
        }
        cupsFreeDests(count, dests);
        // A list cut short by the limit is no list: the scheduler did not answer.
        if (endListingCall()) return {};
        if (result.empty()) return result;

        http = beginCall(threadConnection);
        if (!http) return result;
        const auto messages = stateMessages(http);
        (void)endListingCall();
        for (auto& destination : result) {
            if (!destination.name) continue;
            const auto found = messages.find(*destination.name);
            if (found != messages.end()) destination.options.push_back({"printer-state-message", found->second});
        }
        return result;
    }

    CupsJobListing jobs(const std::optional<std::string>& queue, WhichJobs which) override {
        CupsJobListing result;
        result.status = CupsJobListing::Status::unreachable;
        http_t* http = beginCall(threadConnection);
        if (!http) return result;
        ipp_t* request = newRequest(IPP_OP_GET_JOBS);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri(queue).c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr,
                     which == WhichJobs::all ? "all" : "not-completed");
        static const char* const requested[] = {"job-id",   "job-state",         "job-printer-uri",    "time-at-creation",
                                                "job-uuid", "job-state-reasons", "number-of-documents"};
        ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                      static_cast<int>(std::size(requested)), nullptr, requested);
        ipp_t* response = cupsDoRequest(http, request, "/"); // frees the request
        const bool cut = endListingCall();
        const auto status = response ? ippGetStatusCode(response) : IPP_STATUS_ERROR_INTERNAL;
        if (!cut && response && status <= IPP_STATUS_OK_CONFLICTING) {
            result.status = CupsJobListing::Status::listed;
            result.jobs = jobsOf(response);
        } else if (!cut && status == IPP_STATUS_ERROR_NOT_FOUND) {
            result.status = CupsJobListing::Status::queueMissing;
        }
        ippDelete(response);
        return result;
    }

    CupsJobRef createJob(const std::string& queue, const std::string& title,
                         const std::vector<std::pair<std::string, std::string>>& options) override {
        // A connection of its own, which stays open and idle as the job's witness.
        auto connection = std::make_unique<SchedulerConnection>();
        std::unique_ptr<SocketIdentity> socket;
        const auto made = [](const CupsJobRef& ref) { return ref.id >= 1; };
        auto job = oneCall(CupsJobRef{}, CupsApi::callLimit, [&](http_t* http) {
            CupsJobRef ref{0, newJobUuid(), nullptr};
            ipp_t* request = newRequest(IPP_OP_CREATE_JOB);
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri(queue).c_str());
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, title.c_str());
            cups_option_t* list = nullptr;
            int count = 0;
            for (const auto& [name, value] : options) count = cupsAddOption(name.c_str(), value.c_str(), count, &list);
            cupsEncodeOptions2(request, count, list, IPP_TAG_OPERATION);
            cupsEncodeOptions2(request, count, list, IPP_TAG_JOB);
            cupsFreeOptions(count, list);
            if (!ref.uuid.empty())
                ippAddString(request, IPP_TAG_JOB, IPP_TAG_URI, "job-uuid", nullptr, ref.uuid.c_str());
            const std::string resource = "/printers/" + queue;
            ipp_t* response = cupsDoRequest(http, request, resource.c_str()); // frees the request
            if (response && ippGetStatusCode(response) <= IPP_STATUS_OK_CONFLICTING)
                ref.id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
            ippDelete(response);
            if (ref.id < 1) return ref;
            // The socket that brought the answer: the scheduler behind it made the job.
            socket = std::make_unique<SocketIdentity>(http);
            // A scheduler that does not keep the uuid it is given names the job by one of its own.
            // Asked on the socket that made the job, its answer is about this job.
            const auto given = uuidOfJob(http, ref.id);
            if (!given.empty() && socket->stillIn(http)) ref.uuid = given;
            return ref;
        }, made, *connection);
        // What went wrong is read through this thread's connection, as for every other call.
        threadConnection.cut = connection->cut;
        threadConnection.limit = connection->limit;
        threadConnection.unansweredReason = connection->unansweredReason;
        if (job.id >= 1 && socket && connection->http && socket->stillIn(connection->http))
            job.witness = std::make_shared<ConnectionWitness>(std::move(connection), std::move(socket));
        return job;
    }

    int startDocument(const std::string& queue, std::int32_t jobId, const std::string& documentName,
                      const std::string& mimeType) override {
        return oneCall(static_cast<int>(HTTP_STATUS_ERROR), CupsApi::callLimit, [&](http_t* http) {
            return static_cast<int>(
                cupsStartDocument(http, queue.c_str(), jobId, documentName.c_str(), mimeType.c_str(), 1));
        }, isContinue);
    }

    int writeRequestData(const std::uint8_t* data, std::size_t length) override {
        return dataCall([&](http_t* http) {
            auto status = static_cast<int>(cupsWriteRequestData(http, reinterpret_cast<const char*>(data), length));
            // The library holds a short piece back; sent now, so that what counts as taken has left.
            if (status == HTTP_STATUS_CONTINUE && httpFlushWrite(http) < 0) status = HTTP_STATUS_ERROR;
            return status;
        });
    }

    int sendClosingChunk() override {
        return dataCall([](http_t* http) {
            // The zero-length chunk, as the library's own end of a document sends it, but without the
            // wait for the answer that follows it there.
            if (httpWrite2(http, "", 0) < 0 || httpError(http) != 0) return static_cast<int>(HTTP_STATUS_ERROR);
            return static_cast<int>(HTTP_STATUS_CONTINUE);
        });
    }

    std::optional<int> readDocumentAnswer(const std::string& queue) override {
        const auto answered = [](const std::optional<int>& answer) { return answer.has_value(); };
        return oneCall(std::optional<int>(), CupsApi::callLimit, [&](http_t* http) -> std::optional<int> {
            const std::string resource = "/printers/" + queue;
            // Only an IPP message is the scheduler's word on the document. An HTTP error may come
            // from anything between (or from a scheduler that is going away) after the whole
            // document arrived, so it says nothing of the job.
            ipp_t* response = cupsGetResponse(http, resource.c_str());
            if (!response) {
                // Said here unless the wait was cut: the library's last error would still be the one
                // of an earlier request.
                auto& connection = threadConnection;
                if (connection.cut != SchedulerConnection::Cut::no) return std::nullopt;
                const auto status = httpGetStatus(http);
                connection.cut = SchedulerConnection::Cut::unanswered;
                connection.unansweredReason =
                    status >= HTTP_STATUS_BAD_REQUEST
                        ? "HTTP status " + NumberText::integer(static_cast<std::int64_t>(status)) +
                              " came in place of the print scheduler's answer"
                        : "The connection to the print scheduler ended without its answer";
                return std::nullopt;
            }
            const auto status = static_cast<int>(ippGetStatusCode(response));
            ippDelete(response);
            return status;
        }, answered);
    }

    bool cancelJob(const std::string& queue, const CupsJobRef& job) override {
        const auto confirmed = [](bool ok) { return ok; };
        return oneCall(false, CupsApi::callLimit, [&](http_t* http) {
            // The id is the job's only while the scheduler that just said so is the one asked.
            if (uuidOfJob(http, job.id) != job.uuid) return false;
            const SocketIdentity socket(http);
            const bool cancelled = cupsCancelJob2(http, queue.c_str(), job.id, 0) == IPP_STATUS_OK;
            return cancelled && socket.stillIn(http);
        }, confirmed);
    }

    std::optional<std::string> lastErrorString() override {
        const auto& connection = threadConnection;
        switch (connection.cut) {
        case SchedulerConnection::Cut::byLimit:
            return "The print scheduler did not answer within " + NumberText::integer(connection.limit.count()) +
                   " seconds";
        case SchedulerConnection::Cut::unreachable:
            return "The print scheduler could not be reached";
        case SchedulerConnection::Cut::abandoned:
            return "The request to the print scheduler was given up";
        case SchedulerConnection::Cut::unanswered:
            return connection.unansweredReason;
        case SchedulerConnection::Cut::no:
            break;
        }
        return text(cupsLastErrorString());
    }
};

} // namespace

bool CupsJob::waitsForItsDocument() const {
    return documents == 0 ||
           std::find(stateReasons.begin(), stateReasons.end(), "job-incoming") != stateReasons.end();
}

void CupsApi::Abandon::raise() {
    raised_ = true;
    std::lock_guard guard(lock_);
    // Shut for reading only: every wait for an answer ends at once, while the library does not
    // take the connection for broken before it has sent its request, and so sends it nowhere else.
    if (watched_.isOpen()) ::shutdown(watched_.get(), SHUT_RD);
}

void CupsApi::Abandon::watch(int descriptor) {
    std::lock_guard guard(lock_);
    watched_.reset(descriptor >= 0 ? ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0) : -1);
    if (watched_.isOpen() && raised_) ::shutdown(watched_.get(), SHUT_RD);
}

CupsApi::AbandonScope::AbandonScope(Abandon& abandon) noexcept : previous_(currentAbandon) {
    currentAbandon = &abandon;
}

CupsApi::AbandonScope::~AbandonScope() { currentAbandon = previous_; }

CupsApi::Abandon* CupsApi::AbandonScope::current() noexcept { return currentAbandon; }

bool CupsApi::AbandonScope::raised() noexcept { return currentAbandon && currentAbandon->isRaised(); }

std::shared_ptr<CupsApi> systemCupsApi() {
    static const auto api = std::make_shared<LibCupsApi>();
    return api;
}

} // namespace varnel

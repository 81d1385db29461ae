#include "VarnelKit/Platform/CupsApi.hpp"

#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <cups/cups.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <sys/socket.h>

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

// The thread's own connection to the scheduler, rather than the library's implicit one, so that
// every wait on it can be given a limit: the library then asks keepWaiting() every tick.
struct ThreadConnection {
    http_t* http = nullptr;
    std::string server;
    int port = 0;
    Clock::time_point deadline;
    std::chrono::seconds limit = CupsApi::callLimit;
    enum class Cut { no, byLimit, abandoned, unreachable, unanswered } cut = Cut::no;
    std::string unansweredReason; // for Cut::unanswered

    ~ThreadConnection() { close(); }
    void close() {
        if (http) httpClose(http);
        http = nullptr;
    }
};

thread_local ThreadConnection connection;

int keepWaiting(http_t*, void*) {
    if (CupsApi::AbandonScope::raised()) {
        connection.cut = ThreadConnection::Cut::abandoned;
        return 0;
    }
    if (Clock::now() >= connection.deadline) {
        connection.cut = ThreadConnection::Cut::byLimit;
        return 0;
    }
    return 1;
}

// The connection for one call, opened (again) when there is none, with the call's limit set; none
// when the scheduler cannot be reached or the call is given up before it began.
http_t* beginCall(std::chrono::seconds limit = CupsApi::callLimit) {
    connection.cut = ThreadConnection::Cut::no;
    connection.limit = limit;
    connection.deadline = Clock::now() + limit;
    if (CupsApi::AbandonScope::raised()) {
        connection.cut = ThreadConnection::Cut::abandoned;
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
            connection.cut = ThreadConnection::Cut::unreachable;
            return nullptr;
        }
        httpSetTimeout(connection.http, waitTick, keepWaiting, nullptr);
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
CallEnd endCall() {
    CallEnd end;
    if (auto* abandon = CupsApi::AbandonScope::current()) {
        abandon->watch(-1);
        end.abandonRaised = abandon->isRaised();
    }
    end.cut = connection.cut != ThreadConnection::Cut::no;
    if (end.cut || end.abandonRaised) connection.close();
    return end;
}

// For a listing, whose result cannot tell a whole answer from one cut by the abandon's wake: true
// when the call was cut or given up.
bool endListingCall() {
    const auto end = endCall();
    if (end.abandonRaised && !end.cut) connection.cut = ThreadConnection::Cut::abandoned;
    return end.cut || end.abandonRaised;
}

// One call on the thread's connection: its result, or `unanswered` when the scheduler could not be
// reached or the call was cut short. A call that ends once the abandon was raised keeps its result
// only when `isAnswer` says the scheduler gave it (an answer that had come before the abandon woke
// the call); a failure then may be the wake's own doing.
template <class Result, class Call, class IsAnswer>
Result oneCall(Result unanswered, std::chrono::seconds limit, Call&& call, IsAnswer&& isAnswer) {
    http_t* http = beginCall(limit);
    if (!http) return unanswered;
    const Result result = call(http);
    const auto end = endCall();
    if (end.cut) return unanswered;
    if (end.abandonRaised && !isAnswer(result)) {
        connection.cut = ThreadConnection::Cut::abandoned;
        return unanswered;
    }
    return result;
}

bool isContinue(int status) { return status == HTTP_STATUS_CONTINUE; }

// A piece of a document that did not go out leaves the request unfinished: the connection cannot
// carry another one.
int dataCall(const std::function<int(http_t*)>& call) {
    const int status = oneCall(static_cast<int>(HTTP_STATUS_ERROR), CupsApi::dataLimit, call, isContinue);
    if (status != HTTP_STATUS_CONTINUE) connection.close();
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

class LibCupsApi final : public CupsApi {
public:
    std::vector<CupsDestination> destinations() override {
        std::vector<CupsDestination> result;
        http_t* http = beginCall();
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

        http = beginCall();
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
        http_t* http = beginCall();
        if (!http) return result;
        cups_job_t* list = nullptr;
        const int count = cupsGetJobs2(http, &list, queue ? queue->c_str() : nullptr, 0,
                                       which == WhichJobs::all ? CUPS_WHICHJOBS_ALL : CUPS_WHICHJOBS_ACTIVE);
        // Read on this thread, right after the request that set it.
        const bool notFound = cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND;
        if (endListingCall() || count < 0) {
            if (count >= 0) cupsFreeJobs(count, list);
            if (notFound && connection.cut == ThreadConnection::Cut::no)
                result.status = CupsJobListing::Status::queueMissing;
            return result;
        }
        result.status = CupsJobListing::Status::listed;
        for (int i = 0; i < count; ++i) {
            result.jobs.push_back(
                {list[i].id, text(list[i].dest), static_cast<std::int32_t>(list[i].state), list[i].creation_time});
        }
        cupsFreeJobs(count, list);
        return result;
    }

    std::int32_t createJob(const std::string& queue, const std::string& title,
                           const std::vector<std::pair<std::string, std::string>>& options) override {
        const auto made = [](int jobId) { return jobId >= 1; };
        return oneCall(0, CupsApi::callLimit, [&](http_t* http) {
            cups_option_t* list = nullptr;
            int count = 0;
            for (const auto& [name, value] : options)
                count = cupsAddOption(name.c_str(), value.c_str(), count, &list);
            const int jobId = cupsCreateJob(http, queue.c_str(), title.c_str(), count, list);
            cupsFreeOptions(count, list);
            return jobId;
        }, made);
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
                if (connection.cut != ThreadConnection::Cut::no) return std::nullopt;
                const auto status = httpGetStatus(http);
                connection.cut = ThreadConnection::Cut::unanswered;
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

    bool cancelJob(const std::string& queue, std::int32_t jobId) override {
        const auto confirmed = [](bool ok) { return ok; };
        return oneCall(false, CupsApi::callLimit, [&](http_t* http) {
            return cupsCancelJob2(http, queue.c_str(), jobId, 0) == IPP_STATUS_OK;
        }, confirmed);
    }

    std::optional<std::string> lastErrorString() override {
        switch (connection.cut) {
        case ThreadConnection::Cut::byLimit:
            return "The print scheduler did not answer within " + NumberText::integer(connection.limit.count()) +
                   " seconds";
        case ThreadConnection::Cut::unreachable:
            return "The print scheduler could not be reached";
        case ThreadConnection::Cut::abandoned:
            return "The request to the print scheduler was given up";
        case ThreadConnection::Cut::unanswered:
            return connection.unansweredReason;
        case ThreadConnection::Cut::no:
            break;
        }
        return text(cupsLastErrorString());
    }
};

} // namespace

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

#include "VarnelKit/Transport/CupsPrinterTransport.hpp"

#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Shielded.hpp"

#include <algorithm>
#include <atomic>
#include <functional>

namespace varnel {

namespace {

std::string errorText(CupsApi& api) {
    return api.lastErrorString().value_or("unknown error");
}

// The document goes out in pieces, each a call with its own time limit: a scheduler that goes on
// taking data is not cut off, and one given up on says how much it had taken.
constexpr std::size_t writeChunk = 64 * 1024;

// How far a submission has come, for the one who gave it up and may not wait for its end.
struct Progress {
    std::atomic<std::int64_t> taken{0}; // of the document, by the scheduler
    std::atomic<bool> jobAsked{false};  // a job's creation was asked for
};

enum class Cancel { noJob, confirmed, unconfirmed };

// What a submission given up at a stop says: how much the scheduler took, and whether anything of
// it can still print.
JobError givenUp(std::int64_t taken, std::size_t size, Cancel cancel) {
    auto message = "Sending was stopped when the agent stopped; the print scheduler took " +
                   NumberText::integer(taken) + " of " + NumberText::integer(static_cast<std::int64_t>(size)) +
                   " bytes";
    if (cancel == Cancel::confirmed) message += "; the job was cancelled, so none of it prints";
    if (cancel == Cancel::unconfirmed) message += "; the job could not be cancelled in time and may still print";
    return JobError(JobErrorCode::printerError, message);
}

// A call that a stop does not give up: a job's creation, whose answer is the only way to know the
// job, and the cancel of a job that lacks the end of its document, so that none stays in the queue.
// Each is bounded by its own limit.
template <class F> auto despiteAStop(F&& call) {
    CupsApi::Abandon never;
    const CupsApi::AbandonScope scope(never);
    return call();
}

// The submission's steps, on the calling pool thread: the connection to the scheduler and its last
// error are kept per thread.
CupsPrinterTransport::Submission submitSteps(CupsApi& api, const std::string& queue, const Bytes& data,
                                             const std::string& title, CupsPrinterTransport::DocumentFormat format,
                                             std::int64_t copies, Progress& progress, Cancel& cancel) {
    bool exists = false;
    for (const auto& destination : api.destinations()) exists = exists || destination.name == queue;
    if (!exists) throw JobError(JobErrorCode::printerUnreachable, "CUPS queue \"" + queue + "\" not found");

    // Given up before a job was asked for: nothing of it exists (submitNow says so).
    if (CupsApi::AbandonScope::raised()) throw JobError(JobErrorCode::printerError, "given up");
    progress.jobAsked = true;
    const auto jobId =
        despiteAStop([&] { return api.createJob(queue, title, CupsPrinterTransport::options(format, copies)); });
    if (jobId < 1) throw JobError(JobErrorCode::printerError, "CUPS refused the job: " + errorText(api));
    // Before the document's end has gone out nothing of the job can print: it is cancelled, so that
    // no job waits in the queue for a document that will never come. The error text is read before
    // the cancel request, which would replace it with its own.
    const auto cancelled = [&](const std::string& message) {
        const auto error = errorText(api);
        cancel = despiteAStop([&] { return api.cancelJob(queue, jobId); }) ? Cancel::confirmed : Cancel::unconfirmed;
        return JobError(JobErrorCode::printerError, message + error);
    };
    if (api.startDocument(queue, jobId, title, CupsPrinterTransport::mimeType(format)) != CupsApi::httpContinue)
        throw cancelled("CUPS rejected the document: ");
    std::size_t sent = 0;
    while (sent < data.size()) {
        const auto length = std::min(writeChunk, data.size() - sent);
        if (api.writeRequestData(data.data() + sent, length) != CupsApi::httpContinue)
            throw cancelled("CUPS write failed: ");
        sent += length;
        progress.taken = static_cast<std::int64_t>(sent);
    }
    if (api.sendClosingChunk() != CupsApi::httpContinue) throw cancelled("CUPS write failed: ");

    // The scheduler has the whole document and may already be printing it: from here on the job is
    // its own. Only a refusal in so many words fails it; no answer, a late one, or a stop meanwhile
    // leaves the job to the scheduler, which the caller may follow with the id it already has.
    const auto answer = api.readDocumentAnswer(queue);
    if (answer && *answer != CupsApi::ippOk) throw cancelled("CUPS write failed: ");
    return {static_cast<std::int64_t>(data.size()), jobId};
}

// The whole submission. When `abandon` is raised the calls under way end at once, and the
// submission fails with what the scheduler had taken and whether the job was cancelled: a step that
// failed because the agent stopped is no fault of the scheduler.
CupsPrinterTransport::Submission submitNow(CupsApi& api, const std::string& queue, const Bytes& data,
                                           const std::string& title, CupsPrinterTransport::DocumentFormat format,
                                           std::int64_t copies, CupsApi::Abandon& abandon, Progress& progress) {
    const CupsApi::AbandonScope scope(abandon);
    Cancel cancel = Cancel::noJob;
    try {
        return submitSteps(api, queue, data, title, format, copies, progress, cancel);
    } catch (const JobError&) {
        if (!abandon.isRaised()) throw;
        throw givenUp(progress.taken, data.size(), cancel);
    }
}

} // namespace

CupsPrinterTransport::CupsPrinterTransport(std::string queueName, std::shared_ptr<CupsApi> api)
    : queueName_(std::move(queueName)), api_(std::move(api)) {}

std::shared_ptr<CupsPrinterTransport> CupsPrinterTransport::make(const PrinterTarget& target,
                                                                 std::shared_ptr<CupsApi> api) {
    auto queue = PrinterTarget::cupsQueueName(target.key);
    if (queue.empty()) return nullptr;
    return std::make_shared<CupsPrinterTransport>(std::move(queue), std::move(api));
}

std::string CupsPrinterTransport::mimeType(DocumentFormat format) {
    return format == DocumentFormat::raw ? "application/vnd.cups-raw" : "application/pdf";
}

std::vector<std::pair<std::string, std::string>> CupsPrinterTransport::options(DocumentFormat format,
                                                                               std::int64_t copies) {
    // Copies of label languages are already in the data; only a document is repeated by CUPS.
    if (format == DocumentFormat::raw) return {{"raw", "true"}};
    if (copies >= 2) return {{"copies", NumberText::integer(copies)}};
    return {};
}

Awaitable<CupsPrinterTransport::Submission> CupsPrinterTransport::submit(Bytes data, std::string jobTitle,
                                                                         DocumentFormat format, std::int64_t copies,
                                                                         Duration giveUpLimit) const {
    auto abandon = std::make_shared<CupsApi::Abandon>();
    auto progress = std::make_shared<Progress>();
    const auto size = data.size();
    // Named first: g++ 12 destroys a lambda temporary of a co_await twice.
    auto work = [api = api_, queue = queueName_, data = std::move(data), title = std::move(jobTitle), format, copies,
                 abandon, progress] {
        return submitNow(*api, queue, data, title, format, copies, *abandon, *progress);
    };
    auto call = runBlocking(std::move(work));
    std::function<void()> giveUp = [abandon] { abandon->raise(); };
    // Still waiting for a pool thread, or for a name lookup, which nothing cuts short: the work
    // ends on its own later (a job it then makes it cancels), and the caller is not kept.
    std::function<std::exception_ptr()> notInTime = [progress, size] {
        const auto cancel = progress->jobAsked ? Cancel::unconfirmed : Cancel::noJob;
        return std::make_exception_ptr(givenUp(progress->taken, size, cancel));
    };
    co_return co_await shieldedFromStop<Submission>(std::move(call), giveUpLimit, std::move(notInTime),
                                                    std::move(giveUp));
}

Awaitable<std::int64_t> CupsPrinterTransport::write(Bytes data, std::string jobTitle) {
    co_return (co_await submit(std::move(data), std::move(jobTitle), DocumentFormat::raw, 1)).bytesWritten;
}

Awaitable<std::int64_t> CupsPrinterTransport::write(Bytes data, std::string jobTitle, DocumentFormat format,
                                                    std::int64_t copies) {
    co_return (co_await submit(std::move(data), std::move(jobTitle), format, copies)).bytesWritten;
}

Awaitable<ReachabilityProbe::Result> CupsPrinterTransport::probeDetail() const {
    const ReachabilityProbe reachability(std::chrono::seconds(2), api_);
    co_return co_await reachability.probeQueue(queueName_, queueName_);
}

Awaitable<bool> CupsPrinterTransport::probe() {
    co_return (co_await probeDetail()).status == "online";
}

} // namespace varnel

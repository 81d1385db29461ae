#include "VarnelKit/Transport/CupsPrinterTransport.hpp"

#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Shielded.hpp"
#include "VarnelKit/Transport/CupsJobLook.hpp"
#include "VarnelKit/Transport/CupsJobWatcher.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

namespace varnel {

namespace {

std::string errorText(CupsApi& api) {
    return api.lastErrorString().value_or("unknown error");
}

// The document goes out in pieces, each a call with its own time limit: a scheduler that goes on
// taking data is not cut off, and one given up on says how much it had taken.
constexpr std::size_t writeChunk = 64 * 1024;

using Clock = std::chrono::steady_clock;

// How far a submission has come, for the one who gave it up and may not wait for its end, and the
// stop that gave it up, for the steps that still ask the scheduler something.
class Progress {
public:
    explicit Progress(Clock::duration giveUpLimit) : giveUpLimit_(giveUpLimit) {}

    std::atomic<std::int64_t> taken{0}; // of the document, by the scheduler
    std::atomic<bool> jobAsked{false};  // a job's creation was asked for
    std::atomic<bool> ended{false};     // the document's closing chunk has gone out

    // From the stopping thread: the caller waits giveUpLimit more. A pause() under way ends early.
    void stop() {
        {
            const std::lock_guard guard(lock_);
            // The look's own outcome should reach the caller before the caller's limit passes.
            stopDeadline_ = Clock::now() + giveUpLimit_ * 3 / 4;
        }
        stopped_.notify_all();
    }
    // The earlier of `own` and the stop's deadline, if there was a stop.
    Clock::time_point deadline(Clock::time_point own) const {
        const std::lock_guard guard(lock_);
        return stopDeadline_ ? std::min(own, *stopDeadline_) : own;
    }
    // Waits until `until`, or less once a stop leaves less time than that.
    void pause(Clock::time_point until) {
        std::unique_lock lock(lock_);
        stopped_.wait_until(lock, until, [&] { return stopDeadline_ && *stopDeadline_ < until; });
    }

private:
    const Clock::duration giveUpLimit_;
    mutable std::mutex lock_;
    std::condition_variable stopped_;
    std::optional<Clock::time_point> stopDeadline_; // guarded by lock_
};

enum class Cancel {
    noJob,       // none was made
    confirmed,   // the scheduler cancelled it
    unconfirmed, // asked for, without an answer in time
    unasked,     // the scheduler could not be asked in time whether it has the whole job
};

std::string whatCanStillPrint(Cancel cancel) {
    switch (cancel) {
    case Cancel::confirmed:
        return "; the job was cancelled, so none of it prints";
    case Cancel::unconfirmed:
        return "; the job could not be cancelled in time and may still print";
    case Cancel::unasked:
        return "; the print scheduler could not be asked in time whether it has the job, which may still print";
    case Cancel::noJob:
        break;
    }
    return "";
}

// What a submission given up at a stop says: how much the scheduler took, and whether anything of
// it can still print.
JobError givenUp(std::int64_t taken, std::size_t size, Cancel cancel) {
    return JobError(JobErrorCode::printerError,
                    "Sending was stopped when the agent stopped; the print scheduler took " +
                        NumberText::integer(taken) + " of " + NumberText::integer(static_cast<std::int64_t>(size)) +
                        " bytes" + whatCanStillPrint(cancel));
}

// A call that a stop does not give up: a job's creation, whose answer is the only way to know the
// job, and the cancel of a job that lacks the end of its document, so that none stays in the queue.
// Each is bounded by its own limit.
template <class F> auto despiteAStop(F&& call) {
    CupsApi::Abandon never;
    const CupsApi::AbandonScope scope(never);
    return call();
}

// How long, after a document's end without the scheduler's answer, the job is looked for while the
// scheduler cannot be reached (a restart takes a moment), and how often.
constexpr auto jobLookLimit = 2 * CupsApi::callLimit;
constexpr auto jobLookPause = std::chrono::milliseconds(500);

// What the scheduler says of the job; unanswered when it could not be asked by the deadline, or
// (for `leaveToAStop`) once a stop came.
CupsJobLook lookForTheJob(CupsApi& api, const std::string& queue, const CupsJobRef& job, Progress& progress,
                          bool leaveToAStop) {
    const auto own = Clock::now() + jobLookLimit;
    const auto stopped = [] { return CupsApi::AbandonScope::raised(); };
    while (!(leaveToAStop && stopped())) {
        auto look = despiteAStop([&] { return CupsJobLook::at(api, queue, job); });
        if (look.kind != CupsJobLook::Kind::unanswered) return look;
        const auto next = Clock::now() + jobLookPause;
        if (next >= progress.deadline(own)) break;
        progress.pause(next);
        if (Clock::now() >= progress.deadline(own)) break;
    }
    return {};
}

// The job's state decides what became of a document whose end went out without the scheduler's
// answer: a job it holds whole is its own to print, held by its queue's policy or not; one still
// waiting for its document never gets it, and is cancelled so that none of it prints.
CupsPrinterTransport::Submission settleByTheJob(CupsApi& api, const std::string& queue,
                                                CupsPrinterTransport::Submission submission,
                                                CupsPrinterTransport::DocumentFormat format, Progress& progress) {
    using State = CupsJobWatcher::JobState;
    using Kind = CupsJobLook::Kind;
    const auto why = errorText(api); // read before the look's calls replace it
    // A document under a stop: the watch that follows settles it with a look of its own, within
    // the stop's share of the time, which one look here would already have used.
    const bool document = format == CupsPrinterTransport::DocumentFormat::pdf;
    const auto look = lookForTheJob(api, queue, submission.job, progress, document);
    const bool stopped = CupsApi::AbandonScope::raised();
    const auto size = static_cast<std::size_t>(submission.bytesWritten);
    switch (look.kind) {
    case Kind::unanswered:
        if (document && stopped) return submission;
        if (stopped) throw givenUp(progress.taken, size, Cancel::unasked);
        throw JobError(JobErrorCode::printerError, "CUPS did not answer after the whole document was sent (" + why +
                                                       ")" + whatCanStillPrint(Cancel::unasked));
    case Kind::queueMissing:
        throw JobError(JobErrorCode::printerError, "CUPS queue \"" + queue + "\" was removed before the job finished");
    case Kind::lost:
        throw JobError(JobErrorCode::printerError,
                       "CUPS did not answer after the whole document was sent (" + why + "). " + lostJobReason);
    case Kind::gone:
        // As a watch counts it, the scheduler is done with it.
        return submission;
    case Kind::listed:
        break;
    }
    const auto state = CupsJobWatcher::jobState(look.state);
    if (state == State::cancelled || state == State::aborted)
        throw JobError(JobErrorCode::printerError, "CUPS did not print the document (" + why + "): the job was " +
                                                       describe(*state));
    if (state != State::pendingHeld || !look.waitsForItsDocument) return submission;
    const auto cancel = despiteAStop([&] { return api.cancelJob(queue, submission.job); }) ? Cancel::confirmed
                                                                                          : Cancel::unconfirmed;
    if (stopped) throw givenUp(progress.taken, size, cancel);
    throw JobError(JobErrorCode::printerError,
                   "CUPS did not get the end of the document (" + why + ")" + whatCanStillPrint(cancel));
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
    const auto job =
        despiteAStop([&] { return api.createJob(queue, title, CupsPrinterTransport::options(format, copies)); });
    if (job.id < 1) throw JobError(JobErrorCode::printerError, "CUPS refused the job: " + errorText(api));
    if (!job.witness) {
        // Without the scheduler that made it, the job cannot be followed. It has no document yet, so
        // nothing of it prints; the cancel only keeps it from waiting for one.
        (void)despiteAStop([&] { return api.cancelJob(queue, job); });
        throw JobError(JobErrorCode::printerError,
                       "The print scheduler went away as it made the job; nothing of it was sent");
    }
    // Before the document's end has gone out nothing of the job can print: it is cancelled, so that
    // no job waits in the queue for a document that will never come. The error text is read before
    // the cancel request, which would replace it with its own.
    const auto cancelled = [&](const std::string& message) {
        const auto error = errorText(api);
        cancel = despiteAStop([&] { return api.cancelJob(queue, job); }) ? Cancel::confirmed : Cancel::unconfirmed;
        return JobError(JobErrorCode::printerError, message + error);
    };
    if (api.startDocument(queue, job.id, title, CupsPrinterTransport::mimeType(format)) != CupsApi::httpContinue)
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
    progress.ended = true;

    // The closing chunk has only reached a socket: the scheduler's own answer says whether it took
    // the document, and without one (none in time, a connection closed or broken, an HTTP error in
    // its place, a stop) the job's state in the scheduler does.
    const CupsPrinterTransport::Submission submission{static_cast<std::int64_t>(data.size()), job};
    const auto answer = api.readDocumentAnswer(queue);
    if (!answer) return settleByTheJob(api, queue, submission, format, progress);
    if (*answer != CupsApi::ippOk) throw cancelled("CUPS write failed: ");
    return submission;
}

// The whole submission. When `abandon` is raised before the document's end, the calls under way
// end at once, and the submission fails with what the scheduler had taken and whether the job was
// cancelled: a step that failed because the agent stopped is no fault of the scheduler. After the
// end, what the scheduler says of the job is the outcome, stop or not.
CupsPrinterTransport::Submission submitNow(CupsApi& api, const std::string& queue, const Bytes& data,
                                           const std::string& title, CupsPrinterTransport::DocumentFormat format,
                                           std::int64_t copies, CupsApi::Abandon& abandon, Progress& progress) {
    const CupsApi::AbandonScope scope(abandon);
    Cancel cancel = Cancel::noJob;
    try {
        return submitSteps(api, queue, data, title, format, copies, progress, cancel);
    } catch (const JobError&) {
        if (!abandon.isRaised() || progress.ended) throw;
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
    auto progress = std::make_shared<Progress>(giveUpLimit);
    const auto size = data.size();
    // Named first: g++ 12 destroys a lambda temporary of a co_await twice.
    auto work = [api = api_, queue = queueName_, data = std::move(data), title = std::move(jobTitle), format, copies,
                 abandon, progress] {
        return submitNow(*api, queue, data, title, format, copies, *abandon, *progress);
    };
    auto call = runBlocking(std::move(work));
    std::function<void()> giveUp = [abandon, progress] {
        progress->stop();
        abandon->raise();
    };
    // Still waiting for a pool thread, for a name lookup, which nothing cuts short, or for the
    // scheduler's word on a job whose document it may have whole: the work ends on its own later (a
    // job it then finds without its document it cancels), and the caller is not kept.
    std::function<std::exception_ptr()> notInTime = [progress, size] {
        const auto cancel = progress->ended ? Cancel::unasked : progress->jobAsked ? Cancel::unconfirmed : Cancel::noJob;
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

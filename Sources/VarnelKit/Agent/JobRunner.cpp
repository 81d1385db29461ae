#include "VarnelKit/Agent/JobRunner.hpp"

#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Language/LabelLanguageDrivers.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Protocol/JobPayload.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/Characters.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/Shielded.hpp"
#include "VarnelKit/Support/TransportError.hpp"
#include "VarnelKit/Transport/CupsJobWatcher.hpp"
#include "VarnelKit/Transport/CupsPrinterTransport.hpp"
#include "VarnelKit/Transport/NetworkPrinterTransport.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

namespace varnel {

namespace {

using APIError = VarnelAPIClient::APIError;
using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

constexpr int reportAttempts = 4;

std::string idText(std::int64_t id) { return NumberText::integer(id); }

std::string countText(std::size_t count) { return NumberText::integer(static_cast<std::int64_t>(count)); }

bool isGone(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const APIError& apiError) {
        return apiError.kind() == APIError::Kind::gone;
    } catch (...) {
        return false;
    }
}

// Takes the id out of the in-flight set however run ends; a cancellation unwinds through here too.
class InFlightEntry {
public:
    InFlightEntry(std::unordered_set<std::int64_t>& set, std::int64_t id) : set_(set), id_(id) { set_.insert(id_); }
    ~InFlightEntry() { set_.erase(id_); }
    InFlightEntry(const InFlightEntry&) = delete;
    InFlightEntry& operator=(const InFlightEntry&) = delete;

private:
    std::unordered_set<std::int64_t>& set_;
    std::int64_t id_;
};

} // namespace

std::shared_ptr<JobRunner> JobRunner::make(std::shared_ptr<VarnelAPIClient> api,
                                           std::shared_ptr<PrinterTransportResolving> transports,
                                           std::shared_ptr<AgentLogging> logger, std::size_t seenMaxSize,
                                           std::size_t seenTargetSize, Options options) {
    return std::shared_ptr<JobRunner>(new JobRunner(std::move(api), std::move(transports), std::move(logger),
                                                    seenMaxSize, seenTargetSize, options));
}

JobRunner::JobRunner(std::shared_ptr<VarnelAPIClient> api, std::shared_ptr<PrinterTransportResolving> transports,
                     std::shared_ptr<AgentLogging> logger, std::size_t seenMaxSize, std::size_t seenTargetSize,
                     Options options)
    : api_(std::move(api)), transports_(std::move(transports)),
      logger_(logger ? std::move(logger) : std::make_shared<SilentLogger>()), seenMaxSize_(seenMaxSize),
      // A target above the bound would let the memory grow past it before the first trim.
      seenTargetSize_(std::min(seenTargetSize, seenMaxSize)), options_(options) {}

std::string JobRunner::ms(std::chrono::steady_clock::time_point since) { return ms(Clock::now() - since); }

std::string JobRunner::ms(std::chrono::steady_clock::duration elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (seconds < 1.0) return NumberText::integer(static_cast<std::int64_t>(seconds * 1000.0)) + "ms";
    // to_chars rather than printf: the menu-bar application runs with the user's locale, whose
    // decimal separator may be a comma.
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed, 1);
    return std::string(text, end.ptr) + "s";
}

void JobRunner::markSeen(std::int64_t jobId) {
    if (!seenLookup_.insert(jobId).second) return;
    seenJobIds_.push_back(jobId);
    if (seenJobIds_.size() <= seenMaxSize_) return;
    const auto drop = seenJobIds_.size() - seenTargetSize_;
    for (std::size_t i = 0; i < drop; ++i) {
        seenLookup_.erase(seenJobIds_.front());
        seenJobIds_.pop_front();
    }
}

// A cancellation (the agent stopping) is not a failure of the job; what it does depends on how far
// the job had come (the table beside the class says it step by step). Before anything was handed
// to the printer or CUPS the job is left unmarked and unreported, as after a restart. Once it was,
// the job is settled here: marked, and its result reported out of reach of the stop, within a
// limit that only starts with the stop.
Awaitable<void> JobRunner::run(std::int64_t jobId) {
    const auto id = idText(jobId);
    if (hasSeen(jobId)) {
        logger_->debug("Job " + id + " already handled, ignoring redelivery");
        co_return;
    }
    if (isInFlight(jobId)) {
        logger_->debug("Job " + id + " already in flight, ignoring");
        co_return;
    }
    const auto self = shared_from_this();
    const InFlightEntry entry(inFlight_, jobId);
    std::exception_ptr failure;
    try {
        co_await execute(jobId);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) co_return;
    if (isCancellation(failure)) {
        logger_->info("Job " + id + " stopped before it was finished; nothing reported");
    } else if (isGone(failure)) {
        markSeen(jobId);
        logger_->info("Job " + id + " expired before printing");
    } else {
        logger_->error("Job " + id + " failed: " + describeException(failure));
    }
}

// g++ 12 takes the coroutine frame's own allocation and release for a mismatched pair once the
// awaited calls are inlined here; the frame is allocated and freed by the same class.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
Awaitable<void> JobRunner::execute(std::int64_t jobId) {
    const auto id = idText(jobId);
    const auto fetchStart = Clock::now();
    const auto job = std::make_shared<const JobPayload>(co_await api_->job(jobId));
    // Only a log line shows the count, but a payload of many megabytes takes a moment to walk.
    auto count = [job] { return job->payload ? Characters::count(*job->payload) : 0; };
    const auto length = co_await runBlockingCancellable(std::move(count));
    logger_->info("Job " + id + ": fetched " + countText(length) + "B of " + describe(job->language) + " for " +
                  job->printerKey + " in " + ms(fetchStart));

    if (job->hasExpired()) {
        markSeen(jobId);
        auto expired = JobResultRequest::failed(JobError(JobErrorCode::jobExpired, "Expired before printing"),
                                                std::nullopt, WallClock::now());
        co_await api_->submitResult(jobId, std::move(expired));
        co_return;
    }
    const auto driver = LabelLanguageDrivers::driver(job->language);
    if (!driver) {
        markSeen(jobId);
        auto unsupported = JobResultRequest::failed(
            JobError(JobErrorCode::unsupportedLanguage, "Agent cannot print " + describe(job->language)),
            std::nullopt, WallClock::now());
        co_await api_->submitResult(jobId, std::move(unsupported));
        co_return;
    }

    const auto startedAt = WallClock::now();
    const auto start = Clock::now();
    auto delivery = std::make_shared<Delivery>();
    std::int64_t written = 0;
    std::exception_ptr failure;
    try {
        written = co_await deliver(job, driver, delivery);
    } catch (...) {
        failure = std::current_exception();
    }
    // A stop during a CUPS delivery has given the scheduler its share of the report's limit.
    const bool schedulerHadItsShare = delivery->toScheduler && co_await isCancelled();
    const auto reportLimit =
        options_.shieldedReportLimit - (schedulerHadItsShare ? schedulerStopLimit() : Clock::duration{});

    if (failure) {
        // Only a job of which nothing left the agent ends by the stop itself.
        if (isCancellation(failure)) std::rethrow_exception(failure);
        markSeen(jobId);
        std::optional<JobError> jobError;
        try {
            std::rethrow_exception(failure);
        } catch (const JobError& error) {
            jobError = error;
        } catch (...) {
        }
        const auto description = describeException(failure);
        const JobError reported = jobError ? *jobError : JobError(JobErrorCode::internalError, description);
        auto result = JobResultRequest::failed(reported, startedAt, WallClock::now());
        if (delivery->handedOver) {
            // Part of the job may be on paper: the server must hear of it even when the agent stops.
            // Whether or not it did (reportSettled logs that), the log says what became of the job.
            (void)co_await reportSettled(jobId, std::move(result), reportLimit);
        } else {
            co_await reportResult(jobId, std::move(result));
        }
        if (jobError) {
            logger_->error("Job " + id + ": FAILED " + describe(jobError->code) + " on " + job->printerKey +
                           " after " + ms(start) + " \u2014 " + jobError->message.value_or("no detail"));
        } else {
            logger_->error("Job " + id + ": INTERNAL ERROR on " + job->printerKey + " \u2014 " + description);
        }
        co_return;
    }

    // Marked before the report, so a redelivery while the report is retried prints nothing twice.
    markSeen(jobId);
    auto printed = JobResultRequest::printed(startedAt, WallClock::now(), written);
    // The labels exist now: a report that could not be made is final. Reporting the job as failed
    // on top of it would tell the server a printed job failed and invite a reprint.
    if (!co_await reportSettled(jobId, std::move(printed), reportLimit)) co_return;
    logger_->info("Job " + id + ": printed " + NumberText::integer(written) + "B on " + job->printerKey + " in " +
                  ms(start) + " total");
}
#pragma GCC diagnostic pop

Awaitable<std::int64_t> JobRunner::deliver(std::shared_ptr<const JobPayload> job,
                                           std::shared_ptr<const LabelLanguageDriver> driver,
                                           std::shared_ptr<Delivery> delivery) {
    const auto& key = job->printerKey;
    // Decoding and preparing a payload of many megabytes takes a noticeable time: on the pool, so
    // the channel and the other jobs go on meanwhile. The work owns what it reads, so a stop need
    // not wait for it.
    auto prepare = [job, driver] { return driver->prepare(job->bytes(), job->copies); };
    Bytes prepared = co_await runBlockingCancellable(std::move(prepare));

    const auto transport = co_await transports_->transport(key);
    if (!transport) throw JobError(JobErrorCode::printerUnreachable, "No transport for printer " + key);
    auto* const cups = dynamic_cast<CupsPrinterTransport*>(transport.get());

    // Before anything is sent, so that an unreachable printer is named as such whatever the job.
    if (cups) {
        const auto reach = co_await cups->probeDetail();
        if (reach.status != "online") {
            const auto code = reach.status == "error" ? JobErrorCode::printerError : JobErrorCode::printerUnreachable;
            throw JobError(code, reach.message.value_or(key + " is not responding"));
        }
    } else if (const auto* network = dynamic_cast<NetworkPrinterTransport*>(transport.get());
               network && !NetworkPrinterTransport::socketPort(network->port())) {
        // Named as what it is: no probe can reach such a port, and "not responding" would send
        // the user to look at the printer.
        throw JobError(JobErrorCode::printerUnreachable, NetworkPrinterTransport::invalidPortText(network->port()));
    } else if (!co_await transport->probe()) {
        throw JobError(JobErrorCode::printerUnreachable, key + " is not responding");
    }
    if (!isText(job->language) && !cups) {
        throw JobError(JobErrorCode::unsupportedLanguage,
                       describe(job->language) + " needs a printer set up through macOS. " + key +
                           " is connected directly, which has no way to interpret a document.");
    }

    // The last moment a stop leaves the job untouched.
    if (co_await isCancelled()) throw OperationCancelled();
    delivery->handedOver = true;
    delivery->toScheduler = cups != nullptr;
    const auto writeStart = Clock::now();
    auto title = "Varnel job " + idText(job->jobId);
    // Says why a stop takes a moment longer.
    std::function<void()> graceBegins = [logger = logger_, id = idText(job->jobId), grace = options_.writeGrace] {
        logger->info("Job " + id + ": the agent is stopping; the label being sent has " + ms(grace) + " to finish");
    };
    std::int64_t written = 0;
    if (!cups) {
        // A stop lets a write under way finish within the grace: half a label is worse than a stop
        // a moment later.
        auto write = transport->write(std::move(prepared), std::move(title));
        written = co_await withGrace<std::int64_t>(std::move(write), options_.writeGrace, std::move(graceBegins));
    } else {
        // Labels go raw, one CUPS copy: the driver has already repeated them. A submission under way
        // gets the same grace; after it, it is given up.
        const bool document = !isText(job->language);
        const auto format =
            document ? CupsPrinterTransport::DocumentFormat::pdf : CupsPrinterTransport::DocumentFormat::raw;
        auto submit = cups->submit(std::move(prepared), std::move(title), format, document ? job->copies : 1,
                                   schedulerStopLimit());
        const auto submission = co_await withGrace<CupsPrinterTransport::Submission>(
            std::move(submit), options_.writeGrace, std::move(graceBegins));
        if (document) co_await followToItsEnd(*cups, key, submission.job);
        written = submission.bytesWritten;
    }
    logger_->debug("Job " + idText(job->jobId) + ": wrote " + NumberText::integer(written) + "B in " +
                   ms(writeStart));
    co_return written;
}

Awaitable<void> JobRunner::followToItsEnd(const CupsPrinterTransport& cups, const std::string& key,
                                          const CupsJobRef& cupsJob) const {
    const CupsJobWatcher watcher(cups.queueName(), options_.watchPollInterval, options_.watchTimeout, cups.api(),
                                 schedulerStopLimit());
    const auto outcome = co_await watcher.wait(cupsJob);
    switch (outcome.kind) {
    case CupsJobWatcher::Outcome::Kind::completed:
        co_return;
    case CupsJobWatcher::Outcome::Kind::stillQueued:
        throw JobError(JobErrorCode::writeTimeout,
                       outcome.reason ? key + " " + *outcome.reason : "Still queued on " + key + " after waiting");
    case CupsJobWatcher::Outcome::Kind::failed:
        break;
    }
    const auto state = outcome.state ? describe(*outcome.state) : std::string("aborted");
    throw JobError(JobErrorCode::printerError,
                   outcome.reason ? key + " " + *outcome.reason : "The printer did not finish the job (" + state + ")");
}

Awaitable<void> JobRunner::reportResult(std::int64_t jobId, JobResultRequest result) {
    const auto id = idText(jobId);
    std::exception_ptr last;
    for (int attempt = 0; attempt < reportAttempts; ++attempt) {
        try {
            co_await api_->submitResult(jobId, result);
            co_return;
        } catch (...) {
            last = std::current_exception();
        }
        // Cancellation is sticky: every further attempt would end the same way at once, sending
        // nothing, so there is nothing to retry and no failure of the server to log.
        if (isCancellation(last)) std::rethrow_exception(last);
        if (attempt + 1 == reportAttempts) break;
        const double wait = std::min(0.5 * std::pow(2.0, attempt), 8.0);
        logger_->debug("Job " + id + ": result report failed, retrying in " + NumberText::shortest(wait) + "s");
        const auto scaled = std::chrono::duration<double>(wait * options_.reportWaitScale);
        // A wait cut short by a stop is not waited out; the next attempt follows at once.
        (void)co_await sleepFor(std::chrono::duration_cast<Clock::duration>(scaled));
    }
    logger_->error("Job " + id + ": printed but the result could not be reported after " +
                   NumberText::integer(reportAttempts) + " attempts \u2014 " + describeException(last));
    std::rethrow_exception(last);
}

Awaitable<void> JobRunner::reportOwned(std::shared_ptr<JobRunner> self, std::int64_t jobId, JobResultRequest result,
                                       std::shared_ptr<bool> explained) {
    std::exception_ptr failure;
    try {
        co_await self->reportResult(jobId, std::move(result));
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }
    // reportResult has logged why it gave up, unless the time-out stopped it.
    if (!isCancellation(failure)) *explained = true;
    std::rethrow_exception(failure);
}

Awaitable<bool> JobRunner::reportSettled(std::int64_t jobId, JobResultRequest result, Clock::duration limit) {
    // A stop of the calling task must not lose the report of a job that reached the printer:
    // without it the server offers the job again on the next start, and it prints twice. The report
    // may outlive this call after the limit, so it holds the runner itself.
    const bool printed = result.state == "printed";
    auto explained = std::make_shared<bool>(false);
    auto report = reportOwned(shared_from_this(), jobId, std::move(result), explained);
    std::function<std::exception_ptr()> timedOut = [] {
        return std::make_exception_ptr(TransportError(TransportError::Code::timedOut));
    };
    std::exception_ptr failure;
    try {
        co_await shieldedFromStop<void>(std::move(report), limit, std::move(timedOut));
        co_return true;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!*explained) {
        logger_->error("Job " + idText(jobId) + (printed ? ": printed but the result" : ": the result") +
                       " could not be reported in time \u2014 " + describeException(failure));
    }
    co_return false;
}

Awaitable<void> JobRunner::drainPending(std::int64_t deviceId) {
    const auto self = shared_from_this();
    std::vector<PendingJob> jobs;
    std::exception_ptr failure;
    try {
        jobs = co_await api_->pendingJobs(deviceId);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // A stop is no failure of the server; the next drain asks again.
        if (!isCancellation(failure)) logger_->error("Could not fetch pending jobs: " + describeException(failure));
        co_return;
    }
    if (jobs.empty()) co_return;
    logger_->debug("Draining " + countText(jobs.size()) + " pending job(s)");
    for (const auto& job : jobs) {
        // After a stop every fetch would fail at once; the rest stay pending for the next drain.
        const bool stopped = co_await isCancelled();
        if (stopped) co_return;
        co_await run(job.jobId);
    }
}

} // namespace varnel

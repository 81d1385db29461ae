#pragma once

#include "VarnelKit/Protocol/JobResultRequest.hpp"
#include "VarnelKit/Support/AgentLogging.hpp"
#include "VarnelKit/Support/Task.hpp"
#include "VarnelKit/Transport/PrinterWriting.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_set>

namespace varnel {

class CupsPrinterTransport;
struct CupsJobRef;
class LabelLanguageDriver;
class VarnelAPIClient;
struct JobPayload;

// Turns a job id announced by the server into labels on a printer and a result reported back:
// fetch, expiry and language checks, driver, transport, reachability, delivery (raw, or a PDF
// through CUPS watched to its end), then the report. Remembers which jobs it has settled and
// which it is running, so that no job is printed twice by one process. Nothing is kept on disk.
//
// What a stop (the cancellation of the task that runs a job) does at each step:
//
//   step              | the stop                                  | the job afterwards
//   ------------------+-------------------------------------------+-----------------------------------
//   fetch             | ends the request                          | unmarked, unreported: the next
//   prepare, probe    | ends the step                             |   start or drain prints it
//   raw write         | lets it finish within writeGrace; a write | finished: marked, reported printed;
//                     | still going then is cut off               |   cut: marked, reported failed
//                     |                                           |   (printer_error, "the printer took
//                     |                                           |   N of M bytes"); nothing had left
//                     |                                           |   yet: as before the write
//   CUPS submission   | lets it finish within writeGrace; one     | finished: a label, marked, reported
//                     | still going then is given up: once the    |   printed; a document, as the watch
//                     | document's end has gone out it counts as  |   below; given up before the end:
//                     | finished (the job is the scheduler's);    |   marked, reported failed
//                     | before it, the job is cancelled within    |   (printer_error, "the print
//                     | the scheduler's share of the report limit |   scheduler took N of M bytes" and
//                     |                                           |   whether the cancel was confirmed)
//   CUPS watch        | ends it with one last look at the job,    | printing or done: marked, reported
//                     | within the scheduler's share: one still   |   printed; cancelled: marked,
//                     | waiting to print is cancelled             |   reported failed (printer_error);
//                     |                                           |   no answer in time: marked,
//                     |                                           |   reported failed (write_timeout,
//                     |                                           |   "the job may still print")
//   report, printed   | does not cut it: shieldedReportLimit more | marked; reported if the server
//   or after delivery |   from the stop, less the scheduler's     |   answers within the limit
//                     |   share after a CUPS delivery             |
//   report, failure   | ends it                                   | marked, maybe unreported
//     before delivery |                                           |
//
// So once any byte of a job has left the agent, the job is never sent again by this runner and
// never left pending in silence.
//
// An actor: every call is made on the agent loop.
class JobRunner : public std::enable_shared_from_this<JobRunner> {
public:
    struct Options {
        // How a CUPS document job is followed to its end.
        std::chrono::steady_clock::duration watchPollInterval = std::chrono::milliseconds(500);
        std::chrono::steady_clock::duration watchTimeout = std::chrono::seconds(120);
        // Multiplies the waits between result report attempts (0.5, 1.0 and 2.0 s); tests shrink it.
        double reportWaitScale = 1.0;
        // How long a raw write or a submission to the print scheduler under way may go on after a
        // stop before it is cut off. A label printer takes a whole label in milliseconds; the
        // program chooses what a stop may cost.
        std::chrono::steady_clock::duration writeGrace = std::chrono::seconds(2);
        // How long the report of a job that reached the printer may go on after a stop. Without a
        // stop it makes all its attempts, however slow the server. At a stop during a CUPS delivery,
        // half of it goes to the print scheduler first (the cancel of a submission given up, or the
        // last look at a watched job), so that the stop still ends within writeGrace and this.
        std::chrono::steady_clock::duration shieldedReportLimit = std::chrono::seconds(5);
    };

    static std::shared_ptr<JobRunner> make(std::shared_ptr<VarnelAPIClient> api,
                                           std::shared_ptr<PrinterTransportResolving> transports,
                                           std::shared_ptr<AgentLogging> logger, std::size_t seenMaxSize,
                                           std::size_t seenTargetSize, Options options);
    static std::shared_ptr<JobRunner> make(std::shared_ptr<VarnelAPIClient> api,
                                           std::shared_ptr<PrinterTransportResolving> transports,
                                           std::shared_ptr<AgentLogging> logger, std::size_t seenMaxSize,
                                           std::size_t seenTargetSize) {
        return make(std::move(api), std::move(transports), std::move(logger), seenMaxSize, seenTargetSize,
                    Options());
    }

    JobRunner(const JobRunner&) = delete;
    JobRunner& operator=(const JobRunner&) = delete;

    // Runs one job unless it is settled or already running. Never throws; returns when the whole
    // pipeline has ended, report included.
    Awaitable<void> run(std::int64_t jobId);
    // Fetches the device's pending jobs and runs them one after another. Never throws.
    Awaitable<void> drainPending(std::int64_t deviceId);

    bool hasSeen(std::int64_t jobId) const { return seenLookup_.count(jobId) != 0; }
    std::size_t seenCount() const noexcept { return seenJobIds_.size(); }
    bool isInFlight(std::int64_t jobId) const { return inFlight_.count(jobId) != 0; }
    void markSeenForTesting(std::int64_t jobId) { markSeen(jobId); }

    // Elapsed time as log text: "250ms" below a second, else "12.3s".
    static std::string ms(std::chrono::steady_clock::time_point since);
    static std::string ms(std::chrono::steady_clock::duration elapsed);

private:
    JobRunner(std::shared_ptr<VarnelAPIClient> api, std::shared_ptr<PrinterTransportResolving> transports,
              std::shared_ptr<AgentLogging> logger, std::size_t seenMaxSize, std::size_t seenTargetSize,
              Options options);

    // How far a delivery came.
    struct Delivery {
        bool handedOver = false;  // the data has started to leave the agent
        bool toScheduler = false; // through CUPS
    };

    Awaitable<void> execute(std::int64_t jobId);
    // Decode, prepare, resolve, check and send: the bytes the printer (or CUPS) took. Marks
    // `delivery` as the data starts to leave the agent.
    Awaitable<std::int64_t> deliver(std::shared_ptr<const JobPayload> job,
                                    std::shared_ptr<const LabelLanguageDriver> driver,
                                    std::shared_ptr<Delivery> delivery);
    // Watches a document handed to CUPS until it has ended; fails unless it completed.
    Awaitable<void> followToItsEnd(const CupsPrinterTransport& cups, const std::string& key,
                                   const CupsJobRef& cupsJob) const;
    // What a stop may still ask of the print scheduler for a job it was handed.
    std::chrono::steady_clock::duration schedulerStopLimit() const { return options_.shieldedReportLimit / 2; }
    Awaitable<void> reportResult(std::int64_t jobId, JobResultRequest result);
    // The report of a job that reached the printer, out of reach of the caller's cancellation
    // (bounded by `limit` once it comes). False when it failed.
    Awaitable<bool> reportSettled(std::int64_t jobId, JobResultRequest result,
                                  std::chrono::steady_clock::duration limit);
    static Awaitable<void> reportOwned(std::shared_ptr<JobRunner> self, std::int64_t jobId, JobResultRequest result,
                                       std::shared_ptr<bool> explained);
    void markSeen(std::int64_t jobId);

    std::shared_ptr<VarnelAPIClient> api_;
    std::shared_ptr<PrinterTransportResolving> transports_;
    std::shared_ptr<AgentLogging> logger_;
    std::deque<std::int64_t> seenJobIds_;
    std::unordered_set<std::int64_t> seenLookup_;
    std::size_t seenMaxSize_;
    std::size_t seenTargetSize_;
    std::unordered_set<std::int64_t> inFlight_;
    Options options_;
};

} // namespace varnel

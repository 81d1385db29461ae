#include "VarnelKit/Transport/CupsPrinterTransport.hpp"

#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/NumberText.hpp"

#include <algorithm>
#include <functional>

namespace varnel {

namespace {

std::string errorText(CupsApi& api) {
    return api.lastErrorString().value_or("unknown error");
}

// The document goes out in pieces, each a call with its own time limit: a scheduler that goes on
// taking data is not cut off, and one given up on says how much it had taken.
constexpr std::size_t writeChunk = 64 * 1024;

// The submission's steps, on the calling pool thread: the connection to the scheduler and its last
// error are kept per thread. `taken` counts what the scheduler has taken of the document so far.
CupsPrinterTransport::Submission submitSteps(CupsApi& api, const std::string& queue, const Bytes& data,
                                             const std::string& title, CupsPrinterTransport::DocumentFormat format,
                                             std::int64_t copies, std::int64_t& taken) {
    bool exists = false;
    for (const auto& destination : api.destinations()) exists = exists || destination.name == queue;
    if (!exists) throw JobError(JobErrorCode::printerUnreachable, "CUPS queue \"" + queue + "\" not found");

    const auto jobId = api.createJob(queue, title, CupsPrinterTransport::options(format, copies));
    if (jobId < 1) throw JobError(JobErrorCode::printerError, "CUPS refused the job: " + errorText(api));

    // The error text is read before the cancel request, which would replace it with its own.
    if (api.startDocument(queue, jobId, title, CupsPrinterTransport::mimeType(format)) != CupsApi::httpContinue) {
        const auto error = errorText(api);
        api.cancelJob(queue, jobId);
        throw JobError(JobErrorCode::printerError, "CUPS rejected the document: " + error);
    }
    int written = CupsApi::httpContinue;
    do {
        const auto length = std::min<std::size_t>(writeChunk, data.size() - static_cast<std::size_t>(taken));
        written = api.writeRequestData(data.data() + taken, length);
        if (written == CupsApi::httpContinue) taken += static_cast<std::int64_t>(length);
    } while (written == CupsApi::httpContinue && static_cast<std::size_t>(taken) < data.size());
    std::optional<std::string> writeError;
    if (written != CupsApi::httpContinue) writeError = errorText(api);
    const int finished = api.finishDocument(queue);
    if (written != CupsApi::httpContinue || finished != CupsApi::ippOk) {
        const auto error = writeError ? *writeError : errorText(api);
        api.cancelJob(queue, jobId);
        throw JobError(JobErrorCode::printerError, "CUPS write failed: " + error);
    }
    return {taken, jobId};
}

// The whole submission. When `abandon` is raised the calls under way end at once (a cancel request
// too, so nothing more is asked of the scheduler), and the submission fails with what the
// scheduler had taken by then: a step that failed because the agent stopped is no fault of the
// scheduler.
CupsPrinterTransport::Submission submitNow(CupsApi& api, const std::string& queue, const Bytes& data,
                                           const std::string& title, CupsPrinterTransport::DocumentFormat format,
                                           std::int64_t copies, CupsApi::Abandon& abandon) {
    const CupsApi::AbandonScope scope(abandon);
    std::int64_t taken = 0;
    try {
        return submitSteps(api, queue, data, title, format, copies, taken);
    } catch (const JobError&) {
        if (!abandon.isRaised()) throw;
        throw JobError(JobErrorCode::printerError, "Sending was stopped when the agent stopped; the print scheduler took " +
                                                       NumberText::integer(taken) + " of " +
                                                       NumberText::integer(static_cast<std::int64_t>(data.size())) +
                                                       " bytes");
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

Awaitable<CupsPrinterTransport::Submission>
CupsPrinterTransport::submit(Bytes data, std::string jobTitle, DocumentFormat format, std::int64_t copies) const {
    auto abandon = std::make_shared<CupsApi::Abandon>();
    // Named first: g++ 12 destroys a lambda temporary of a co_await twice.
    auto work = [api = api_, queue = queueName_, data = std::move(data), title = std::move(jobTitle), format, copies,
                 abandon] { return submitNow(*api, queue, data, title, format, copies, *abandon); };
    std::function<void()> giveUp = [abandon] { abandon->raise(); };
    co_return co_await runBlockingAbandonable(std::move(work), std::move(giveUp));
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

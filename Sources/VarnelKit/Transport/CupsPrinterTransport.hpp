#pragma once

#include "VarnelKit/Platform/CupsApi.hpp"
#include "VarnelKit/Transport/PrinterTarget.hpp"
#include "VarnelKit/Transport/PrinterWriting.hpp"
#include "VarnelKit/Transport/ReachabilityProbe.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace varnel {

// Hands a job to a local CUPS queue: label languages the printer speaks go raw, documents go as
// PDF for CUPS to filter. A successful submission means CUPS spooled the job; CupsJobWatcher
// follows it from there.
class CupsPrinterTransport final : public PrinterWriting {
public:
    enum class DocumentFormat { raw, pdf };

    struct Submission {
        std::int64_t bytesWritten = 0;
        CupsJobRef job;
        bool operator==(const Submission&) const = default;
    };

    explicit CupsPrinterTransport(std::string queueName, std::shared_ptr<CupsApi> api = systemCupsApi());
    // The queue is the key without "cups:" (or the whole key); nothing when that is empty.
    static std::shared_ptr<CupsPrinterTransport> make(const PrinterTarget& target,
                                                      std::shared_ptr<CupsApi> api = systemCupsApi());

    const std::string& queueName() const noexcept { return queueName_; }
    // The library the transport talks through, so that a watch of its jobs asks the same scheduler.
    const std::shared_ptr<CupsApi>& api() const noexcept { return api_; }

    using Duration = std::chrono::steady_clock::duration;

    // One job with one document. All library calls of it run on one pool thread. After the
    // document's closing chunk the scheduler's own answer decides; without one (none in time, a
    // connection closed, an HTTP error in its place) the job's state in the scheduler does: a job
    // it holds whole (held by its queue's policy too) gives the submission, one still waiting for
    // its document is cancelled and the submission fails, one the scheduler lost in a restart fails,
    // and a scheduler that cannot be asked fails it as one that may still print.
    // The caller's cancellation gives the submission up: the call under way ends at once; before
    // the closing chunk the job is cancelled, and the submission fails with what the scheduler had
    // taken and whether the cancel was confirmed; after it, a label's job is looked at as above
    // and a document's left to its watch. The caller waits for that at most `giveUpLimit` from its
    // cancellation.
    Awaitable<Submission> submit(Bytes data, std::string jobTitle, DocumentFormat format, std::int64_t copies,
                                 Duration giveUpLimit = CupsApi::callLimit) const;
    // Raw, one copy.
    Awaitable<std::int64_t> write(Bytes data, std::string jobTitle) override;
    Awaitable<std::int64_t> write(Bytes data, std::string jobTitle, DocumentFormat format, std::int64_t copies);

    // Why the queue can or cannot print now (queue gone, stopped, refusing, a fault, its device
    // unreachable), with a 2-second limit on network checks.
    Awaitable<ReachabilityProbe::Result> probeDetail() const;
    Awaitable<bool> probe() override;

    static std::string mimeType(DocumentFormat format);
    static std::vector<std::pair<std::string, std::string>> options(DocumentFormat format, std::int64_t copies);

private:
    std::string queueName_;
    std::shared_ptr<CupsApi> api_;
};

} // namespace varnel

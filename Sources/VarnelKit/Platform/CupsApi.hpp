#pragma once

#include "VarnelKit/Support/Descriptor.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace varnel {

// One name/value pair of a CUPS destination, as the C library hands it out: either side may be
// missing.
struct CupsOption {
    std::optional<std::string> name;
    std::optional<std::string> value;
};

struct CupsDestination {
    std::optional<std::string> name;
    std::optional<std::string> instance;
    std::vector<CupsOption> options;
};

struct CupsJob {
    CupsJob() = default;
    CupsJob(std::int32_t id, std::optional<std::string> dest, std::int32_t state, std::time_t creationTime,
            std::string uuid = {}, std::vector<std::string> stateReasons = {})
        : id(id), dest(std::move(dest)), state(state), creationTime(creationTime), uuid(std::move(uuid)),
          stateReasons(std::move(stateReasons)) {}

    std::int32_t id = 0;
    std::optional<std::string> dest;
    std::int32_t state = 0;
    std::time_t creationTime = 0;
    std::string uuid; // "urn:uuid:…"; empty when the scheduler gave none
    std::vector<std::string> stateReasons;
    std::optional<std::int32_t> documents; // how many the scheduler holds whole, when it says

    // Still waiting for its document, which a job held by a hold someone asked for (its queue's
    // policy, its owner) is not: the scheduler says it is incoming, or holds no document of it
    // (as after a restart in the middle of the document).
    bool waitsForItsDocument() const;
};

// The print scheduler as one connection met it. A scheduler that ends, crashes or restarts closes
// the connections it had; so while this one stays open, every answer comes from the scheduler that
// was there when it opened. From any thread.
class CupsSchedulerWitness {
public:
    virtual ~CupsSchedulerWitness() = default;
    // False once the connection has ended, for good.
    virtual bool unbroken() const noexcept = 0;
};

// A job of ours in the scheduler. Its id alone does not name it: a scheduler that crashed forgets
// the jobs it had not yet saved and gives their ids to new jobs. Its uuid is never given again.
struct CupsJobRef {
    std::int32_t id = 0; // below 1 when no job was made
    std::string uuid;
    // The connection the job was made on, kept open while the job is followed. Without it, or once
    // it has ended, the scheduler may have restarted since, and one that no longer lists the job
    // may have lost it.
    std::shared_ptr<const CupsSchedulerWitness> witness;

    bool operator==(const CupsJobRef&) const = default;
    // This job, and not one that took its id.
    bool isThis(const CupsJob& job) const { return job.id == id && job.uuid == uuid; }
};

// What one request for a job list brought back. An empty list and no answer at all are different
// things: a job missing from a list the scheduler gave has left it, while without a list nothing is
// known of the job.
struct CupsJobListing {
    enum class Status {
        listed,       // the scheduler answered; the list may be empty
        queueMissing, // the scheduler has no queue of that name
        unreachable,  // no list came back: no scheduler, a broken connection, or a refused request
    };
    Status status = Status::listed;
    std::vector<CupsJob> jobs;

    // The job the list gives under that id, if any.
    const CupsJob* withId(std::int32_t jobId) const {
        for (const auto& job : jobs) {
            if (job.id == jobId) return &job;
        }
        return nullptr;
    }
};

// The calls the agent makes into the CUPS client library, behind an interface so that tests can
// stand in for the scheduler. Every call blocks until the scheduler answers or its time limit
// passes; run them on the blocking pool. The connection to the scheduler and the last error are
// kept per thread, so calls that belong together (create, start, write, end, answer, read the
// error, cancel) must run on one thread.
class CupsApi {
public:
    enum class WhichJobs { active, all };

    static constexpr int httpContinue = 100; // HTTP_STATUS_CONTINUE
    static constexpr int ippOk = 0;          // IPP_STATUS_OK

    // How long one call may wait for the scheduler. A call cut by it reads as unanswered (no list,
    // no job, an error status), so that a stalled scheduler holds no pool thread for long.
    static constexpr std::chrono::seconds callLimit{5};
    // How long one piece of a document may wait for the scheduler to take it. A scheduler that is
    // busy for a few seconds (spooling another job, starting filters, frozen for a moment) must not
    // fail a label it would print, so this is far longer than callLimit; it still frees a pool
    // thread from a scheduler that takes nothing at all, as the raw printer's write limit does.
    // A stop does not wait for it: the abandon ends a write at once.
    static constexpr std::chrono::seconds dataLimit{30};

    // How another thread gives up a thread's calls (a submission, at a stop): once raised, the
    // calls made under its scope end at once, as unanswered, and one waiting for the scheduler is
    // woken. A call whose answer had come all the same keeps it.
    class Abandon {
    public:
        Abandon() = default;
        Abandon(const Abandon&) = delete;
        Abandon& operator=(const Abandon&) = delete;

        // From any thread.
        void raise();
        bool isRaised() const noexcept { return raised_.load(); }
        // For the library's layer, on the calling thread: the connection a call now waits on, or
        // -1 once it waits no more.
        void watch(int descriptor);

    private:
        std::atomic<bool> raised_{false};
        std::mutex lock_;
        Descriptor watched_; // a duplicate of our own, so that it never names another socket
    };

    // While one lives on a thread, the calls that thread makes belong to `abandon`.
    class AbandonScope {
    public:
        explicit AbandonScope(Abandon& abandon) noexcept;
        ~AbandonScope();
        AbandonScope(const AbandonScope&) = delete;
        AbandonScope& operator=(const AbandonScope&) = delete;

        // The calling thread's, if any.
        static Abandon* current() noexcept;
        // True when the calling thread's calls are to be given up.
        static bool raised() noexcept;

    private:
        Abandon* previous_;
    };

    virtual ~CupsApi() = default;

    // Every destination of the default scheduler, instances included, in the library's order. The
    // options carry "printer-state-message" too. No scheduler gives an empty list.
    virtual std::vector<CupsDestination> destinations() = 0;
    // The jobs of one queue (or of every queue), of all users, and whether the scheduler answered.
    virtual CupsJobListing jobs(const std::optional<std::string>& queue, WhichJobs which) = 0;

    // One submission, step by step. The job is made on a connection of its own, which it keeps as
    // its witness; its id is below 1 when no job was made, and it has no witness when the scheduler
    // went away before the job was known.
    virtual CupsJobRef createJob(const std::string& queue, const std::string& title,
                                 const std::vector<std::pair<std::string, std::string>>& options) = 0;
    // An HTTP status; httpContinue when the document may be sent.
    virtual int startDocument(const std::string& queue, std::int32_t jobId, const std::string& documentName,
                              const std::string& mimeType) = 0;
    // An HTTP status; httpContinue when every byte went out.
    virtual int writeRequestData(const std::uint8_t* data, std::size_t length) = 0;
    // Ends the document: an HTTP status, httpContinue once its closing chunk has gone out. From then
    // on the scheduler has the whole document and may print it before it answers.
    virtual int sendClosingChunk() = 0;
    // The scheduler's own answer to the document: its IPP status, ippOk when it took the document.
    // None when no IPP answer came: its limit passed, the connection closed or broke, something
    // else answered in its place (an HTTP error), or the call was given up. Without it, nothing is
    // known of the document: only the job's state in the scheduler tells.
    virtual std::optional<int> readDocumentAnswer(const std::string& queue) = 0;
    // True when the scheduler confirmed the cancel. The job is cancelled only where the scheduler,
    // asked on the same connection just before, still gives its id to this job: never one that
    // took its id.
    virtual bool cancelJob(const std::string& queue, const CupsJobRef& job) = 0;
    // The text of the last error on this thread, if the library has one.
    virtual std::optional<std::string> lastErrorString() = 0;
};

// The real library, talking to the scheduler that libcups is pointed at (CUPS_SERVER, client.conf).
std::shared_ptr<CupsApi> systemCupsApi();

} // namespace varnel

#pragma once

#include "LoopFixture.hpp"
#include "VarnelKit/Platform/CupsApi.hpp"

#include <atomic>
#include <deque>
#include <memory>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace varnel::testing {

// An in-memory scheduler: destinations and job listings as the test sets them, and a record of
// every submission step the code under test takes. As the real library does, a step made while
// the thread's calls are given up (CupsApi::AbandonScope) asks nothing and reads as unanswered.
class FakeCupsApi final : public CupsApi {
public:
    struct Call {
        std::string what;
        std::string detail;
        bool operator==(const Call&) const = default;
    };

    // Destinations as the library would list them.
    std::vector<CupsDestination> dests;
    // Each jobs() call takes the next listing; the last one repeats.
    std::deque<std::vector<CupsJob>> jobListings;
    // How the scheduler answers each jobs() call, the last one repeating: `listed` takes the next
    // listing, the others bring back no list. None given: every call is answered with a listing.
    std::deque<CupsJobListing::Status> jobAnswers;

    // Runs at the start of every jobs() call, on the calling thread: a test makes the scheduler
    // slow or silent here.
    std::function<void()> whileListing;

    // Runs at the start of every submission step ("destinations", "create", "start", "write",
    // "closing", "answer", "cancel"), on the calling thread, before it is made: a test stops the
    // agent at a step here.
    std::function<void(const std::string& step)> beforeStep;

    std::int32_t createResult = 17;
    // The uuid the scheduler gives the jobs it makes.
    std::string createdUuid;
    // The scheduler made a job but went away before it was known: the job comes without a witness.
    bool goneAtCreate = false;
    int startResult = httpContinue;
    int writeResult = httpContinue;
    int closingResult = httpContinue;
    std::optional<int> answerResult = ippOk; // none: no answer came
    bool cancelConfirmed = true;
    // The library's last error after each step, and after a cancel request.
    std::optional<std::string> errorAfterCreate;
    std::optional<std::string> errorAfterStart;
    std::optional<std::string> errorAfterWrite;
    std::optional<std::string> errorAfterAnswer;
    std::optional<std::string> errorAfterCancel = "successful-ok";

    // The scheduler ends and a new one takes its place: every witness made so far is broken.
    void restartScheduler() { ++*generation_; }
    // A job of ours as createJob() makes it, witnessed by the scheduler that runs now.
    CupsJobRef madeJob(std::int32_t id, std::string uuid = {}) const {
        return {id, std::move(uuid), std::make_shared<Witness>(generation_)};
    }

    void addQueue(std::string name, std::vector<CupsOption> options = {}, std::optional<std::string> instance = {}) {
        dests.push_back({std::move(name), std::move(instance), std::move(options)});
    }

    std::vector<Call> calls() const {
        std::lock_guard guard(lock_);
        return calls_;
    }
    std::vector<std::pair<std::optional<std::string>, WhichJobs>> jobQueries() const {
        std::lock_guard guard(lock_);
        return jobQueries_;
    }
    std::vector<std::pair<std::string, std::string>> lastOptions() const {
        std::lock_guard guard(lock_);
        return lastOptions_;
    }
    std::string lastData() const {
        std::lock_guard guard(lock_);
        return lastData_;
    }

    std::vector<CupsDestination> destinations() override {
        if (beforeStep) beforeStep("destinations");
        std::lock_guard guard(lock_);
        calls_.push_back({"destinations", ""});
        return dests;
    }

    CupsJobListing jobs(const std::optional<std::string>& queue, WhichJobs which) override {
        if (whileListing) whileListing();
        std::lock_guard guard(lock_);
        jobQueries_.emplace_back(queue, which);
        CupsJobListing result;
        if (!jobAnswers.empty()) {
            result.status = jobAnswers.front();
            if (jobAnswers.size() > 1) jobAnswers.pop_front();
            if (result.status != CupsJobListing::Status::listed) return result;
        }
        if (jobListings.empty()) return result;
        auto listing = jobListings.front();
        if (jobListings.size() > 1) jobListings.pop_front();
        for (const auto& job : listing) {
            if (!queue || job.dest == queue) result.jobs.push_back(job);
        }
        return result;
    }

    CupsJobRef createJob(const std::string& queue, const std::string& title,
                         const std::vector<std::pair<std::string, std::string>>& options) override {
        if (givenUp("create")) return {};
        std::lock_guard guard(lock_);
        calls_.push_back({"create", queue + "/" + title});
        lastOptions_ = options;
        lastError_ = errorAfterCreate;
        auto job = madeJob(createResult, createdUuid);
        if (goneAtCreate || createResult < 1) job.witness.reset();
        return job;
    }
    int startDocument(const std::string& queue, std::int32_t jobId, const std::string&,
                      const std::string& mime) override {
        if (givenUp("start")) return 0;
        std::lock_guard guard(lock_);
        calls_.push_back({"start", queue + "#" + std::to_string(jobId) + " " + mime});
        lastError_ = errorAfterStart;
        return startResult;
    }
    int writeRequestData(const std::uint8_t* data, std::size_t length) override {
        if (givenUp("write")) return 0;
        std::lock_guard guard(lock_);
        calls_.push_back({"write", std::to_string(length)});
        lastData_.assign(reinterpret_cast<const char*>(data), length);
        lastError_ = errorAfterWrite;
        return writeResult;
    }
    int sendClosingChunk() override {
        if (givenUp("closing")) return 0;
        std::lock_guard guard(lock_);
        calls_.push_back({"closing", ""});
        return closingResult;
    }
    std::optional<int> readDocumentAnswer(const std::string& queue) override {
        if (givenUp("answer")) return std::nullopt;
        std::lock_guard guard(lock_);
        calls_.push_back({"answer", queue});
        lastError_ = errorAfterAnswer;
        return answerResult;
    }
    bool cancelJob(const std::string& queue, const CupsJobRef& job) override {
        if (givenUp("cancel")) return false;
        std::lock_guard guard(lock_);
        calls_.push_back({"cancel", queue + "#" + std::to_string(job.id)});
        lastError_ = errorAfterCancel;
        return cancelConfirmed;
    }
    std::optional<std::string> lastErrorString() override {
        std::lock_guard guard(lock_);
        return lastError_;
    }

private:
    struct Witness final : CupsSchedulerWitness {
        explicit Witness(std::shared_ptr<std::atomic<int>> generation)
            : generation(std::move(generation)), seen(this->generation->load()) {}
        bool unbroken() const noexcept override { return generation->load() == seen; }
        std::shared_ptr<std::atomic<int>> generation;
        int seen;
    };

    bool givenUp(const std::string& step) {
        if (beforeStep) beforeStep(step);
        if (!AbandonScope::raised()) return false;
        std::lock_guard guard(lock_);
        lastError_ = "The request to the print scheduler was given up";
        return true;
    }

    std::shared_ptr<std::atomic<int>> generation_ = std::make_shared<std::atomic<int>>(0);
    mutable std::mutex lock_;
    std::vector<Call> calls_;
    std::vector<std::pair<std::optional<std::string>, WhichJobs>> jobQueries_;
    std::vector<std::pair<std::string, std::string>> lastOptions_;
    std::string lastData_;
    std::optional<std::string> lastError_;
};

inline std::ostream& operator<<(std::ostream& out, const FakeCupsApi::Call& call) {
    return out << call.what << "(" << call.detail << ")";
}

} // namespace varnel::testing

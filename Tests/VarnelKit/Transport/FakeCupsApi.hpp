#pragma once

#include "LoopFixture.hpp"
#include "VarnelKit/Platform/CupsApi.hpp"

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace varnel::testing {

// An in-memory scheduler: destinations and job listings as the test sets them, and a record of
// every submission step the code under test takes.
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

    std::int32_t createResult = 17;
    int startResult = httpContinue;
    int writeResult = httpContinue;
    int finishResult = ippOk;
    // The library's last error after each step, and after a cancel request.
    std::optional<std::string> errorAfterCreate;
    std::optional<std::string> errorAfterStart;
    std::optional<std::string> errorAfterWrite;
    std::optional<std::string> errorAfterFinish;
    std::optional<std::string> errorAfterCancel = "successful-ok";

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

    std::int32_t createJob(const std::string& queue, const std::string& title,
                           const std::vector<std::pair<std::string, std::string>>& options) override {
        std::lock_guard guard(lock_);
        calls_.push_back({"create", queue + "/" + title});
        lastOptions_ = options;
        lastError_ = errorAfterCreate;
        return createResult;
    }
    int startDocument(const std::string& queue, std::int32_t jobId, const std::string&,
                      const std::string& mime) override {
        std::lock_guard guard(lock_);
        calls_.push_back({"start", queue + "#" + std::to_string(jobId) + " " + mime});
        lastError_ = errorAfterStart;
        return startResult;
    }
    int writeRequestData(const std::uint8_t* data, std::size_t length) override {
        std::lock_guard guard(lock_);
        calls_.push_back({"write", std::to_string(length)});
        lastData_.assign(reinterpret_cast<const char*>(data), length);
        lastError_ = errorAfterWrite;
        return writeResult;
    }
    int finishDocument(const std::string& queue) override {
        std::lock_guard guard(lock_);
        calls_.push_back({"finish", queue});
        lastError_ = errorAfterFinish;
        return finishResult;
    }
    void cancelJob(const std::string& queue, std::int32_t jobId) override {
        std::lock_guard guard(lock_);
        calls_.push_back({"cancel", queue + "#" + std::to_string(jobId)});
        lastError_ = errorAfterCancel;
    }
    std::optional<std::string> lastErrorString() override {
        std::lock_guard guard(lock_);
        return lastError_;
    }

private:
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

#include "VarnelKit/Transport/CupsQueueProbe.hpp"

namespace varnel {

json::Ordered CupsQueueProbe::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["queue_name"] = queueName;
    json::putOptional(object, "driver", driver);
    json::putOptional(object, "device_uri_scheme", deviceURIScheme);
    object["accepting"] = accepting;
    object["stopped"] = stopped;
    json::putOptional(object, "queued", queued);
    json::putOptional(object, "oldest_queued_seconds", oldestQueuedSeconds);
    return object;
}

} // namespace varnel

#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/Transport/CupsQueueState.hpp"

namespace varnel {

namespace {

using Clock = std::chrono::system_clock;

void count(CupsQueueProbe::JobFigures& figures, const CupsJob& job) {
    ++figures.count;
    if (job.creationTime < 1) return;
    const auto created = Clock::from_time_t(job.creationTime);
    if (!figures.oldest || created < *figures.oldest) figures.oldest = created;
}

} // namespace

std::optional<std::string> CupsQueueProbe::scheme(std::string_view uri) {
    const auto colon = uri.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    return Text::lowercased(uri.substr(0, colon));
}

CupsQueueProbe CupsQueueProbe::make(std::string queueName, const std::optional<std::string>& makeAndModel,
                                    const std::optional<std::string>& deviceURI, bool accepting, bool stopped,
                                    const std::optional<JobFigures>& jobs, Clock::time_point now) {
    CupsQueueProbe probe;
    probe.queueName = std::move(queueName);
    probe.driver = makeAndModel;
    if (deviceURI) probe.deviceURIScheme = scheme(*deviceURI);
    probe.accepting = accepting;
    probe.stopped = stopped;
    probe.queued = jobs ? jobs->count : 0;
    if (jobs && jobs->oldest) {
        // Truncated toward zero; a clock set back makes it negative, as the figures are.
        probe.oldestQueuedSeconds = std::chrono::duration_cast<std::chrono::seconds>(now - *jobs->oldest).count();
    }
    return probe;
}

CupsQueueProbe::JobFigures CupsQueueProbe::pendingJobs(const std::string& queue, CupsApi& api) {
    JobFigures figures;
    // A queue the scheduler did not list counts as holding no jobs.
    const auto listing = api.jobs(queue, CupsApi::WhichJobs::active);
    for (const auto& job : listing.jobs) count(figures, job);
    return figures;
}

std::map<std::string, CupsQueueProbe::JobFigures> CupsQueueProbe::pendingJobsByQueue(CupsApi& api) {
    std::map<std::string, JobFigures> byQueue;
    const auto listing = api.jobs(std::nullopt, CupsApi::WhichJobs::active);
    for (const auto& job : listing.jobs) {
        if (job.dest) count(byQueue[*job.dest], job);
    }
    return byQueue;
}

std::optional<CupsQueueProbe> CupsQueueProbe::read(const std::string& queue, const std::optional<CupsQueueState>& state,
                                                   Clock::time_point now, CupsApi& api) {
    const auto current = state ? state : CupsQueueState::read(queue, api);
    if (!current) return std::nullopt;
    return make(queue, current->makeAndModel, current->deviceURI, current->isAcceptingJobs, current->isStopped(),
                pendingJobs(queue, api), now);
}

std::map<std::string, CupsQueueProbe> CupsQueueProbe::readAll(Clock::time_point now, CupsApi& api) {
    std::map<std::string, CupsQueueProbe> probes;
    const auto states = CupsQueueState::readAll(api);
    if (states.empty()) return probes;
    const auto jobs = pendingJobsByQueue(api);
    for (const auto& [name, state] : states) {
        const auto found = jobs.find(name);
        const auto figures = found == jobs.end() ? std::nullopt : std::optional(found->second);
        probes.emplace(name, make(name, state.makeAndModel, state.deviceURI, state.isAcceptingJobs,
                                  state.isStopped(), figures, now));
    }
    return probes;
}

} // namespace varnel

#include "VarnelKit/Transport/CupsJobLook.hpp"

namespace varnel {

CupsJobLook CupsJobLook::at(CupsApi& api, const std::string& queue, const CupsJobRef& job) {
    const auto listing = api.jobs(queue, CupsApi::WhichJobs::all);
    // Asked once the answer is in: a scheduler that had ended before it closed the witness then,
    // and a new one takes far longer to start than the close takes to arrive.
    const bool sameScheduler = job.witness && job.witness->unbroken();
    return of(listing, job, sameScheduler);
}

CupsJobLook CupsJobLook::of(const CupsJobListing& listing, const CupsJobRef& job, bool sameScheduler) {
    switch (listing.status) {
    case CupsJobListing::Status::unreachable:
        return {};
    case CupsJobListing::Status::queueMissing:
        return {Kind::queueMissing};
    case CupsJobListing::Status::listed:
        break;
    }
    const auto* listed = listing.withId(job.id);
    // Without a uuid on either side, only the scheduler that gave the id vouches for it.
    if (listed && job.isThis(*listed) && (!job.uuid.empty() || sameScheduler))
        return {Kind::listed, listed->state, listed->waitsForItsDocument()};
    // Another job under its id, or none: a scheduler that made it and lists it no more is done
    // with it; one that may have restarted has forgotten it.
    if (listed || !sameScheduler) return {Kind::lost};
    return {Kind::gone};
}

} // namespace varnel

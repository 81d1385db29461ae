#include "VarnelKit/Agent/UpdateFailures.hpp"

namespace varnel {

using Failure = AgentUpdater::Failure;

Failure::Failure(Kind kind, std::string detail, std::string description)
    : Error(std::move(description)), kind_(kind), detail_(std::move(detail)) {}

Failure Failure::rejected(std::string detail) {
    std::string description = "This update was refused: " + detail;
    return Failure(Kind::rejected, std::move(detail), std::move(description));
}

Failure Failure::unreachable(std::string detail) {
    std::string description = "The update could not be downloaded. " + detail;
    return Failure(Kind::unreachable, std::move(detail), std::move(description));
}

Failure Failure::couldNotMount(std::string detail) {
    std::string description = "The downloaded disk image could not be opened. " + detail;
    return Failure(Kind::couldNotMount, std::move(detail), std::move(description));
}

Failure Failure::couldNotInstall(std::string detail) {
    std::string description = "The update could not be installed. " + detail;
    return Failure(Kind::couldNotInstall, std::move(detail), std::move(description));
}

Failure Failure::checksumMismatch() {
    return Failure(Kind::checksumMismatch, "",
                   "The download did not match what the server published, so it has not been installed. This "
                   "usually means the download was interrupted; try again.");
}

namespace UpdateFailures {

std::string reasonOf(const std::exception& error) {
    if (const auto* system = dynamic_cast<const std::system_error*>(&error))
        return system->code().message();
    return describeException(std::current_exception());
}

} // namespace UpdateFailures

} // namespace varnel

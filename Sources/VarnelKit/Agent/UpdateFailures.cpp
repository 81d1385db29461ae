#include "VarnelKit/Agent/UpdateFailures.hpp"

#include "VarnelKit/Support/NumberText.hpp"

#include <utility>

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

namespace {

// "1 GiB", "64 KiB", "1000 bytes": a bound as a user reads it.
std::string sizeText(std::uint64_t bytes) {
    static constexpr std::pair<std::uint64_t, const char*> units[] = {
        {1024ull * 1024 * 1024, " GiB"}, {1024ull * 1024, " MiB"}, {1024ull, " KiB"}};
    for (const auto& [unit, name] : units) {
        if (bytes >= unit && bytes % unit == 0)
            return NumberText::integer(static_cast<std::int64_t>(bytes / unit)) + name;
    }
    return NumberText::integer(static_cast<std::int64_t>(bytes)) + (bytes == 1 ? " byte" : " bytes");
}

// "a minute", "2 minutes", "30 seconds".
std::string periodText(std::chrono::seconds period) {
    const auto seconds = period.count();
    if (seconds == 60)
        return "a minute";
    if (seconds > 60 && seconds % 60 == 0)
        return NumberText::integer(seconds / 60) + " minutes";
    return NumberText::integer(seconds) + (seconds == 1 ? " second" : " seconds");
}

} // namespace

Failure malformedChecksum() {
    return Failure::rejected(
        "the checksum the server published is not a SHA-256 checksum (64 hexadecimal digits)");
}

Failure announcedTooLarge(std::uint64_t announced, std::uint64_t largest) {
    return Failure::unreachable("The server announced " + NumberText::integer(static_cast<std::int64_t>(announced)) +
                                " bytes, more than the " + sizeText(largest) + " an update may be.");
}

Failure grewTooLarge(std::uint64_t largest) {
    return Failure::unreachable("It went on past " + sizeText(largest) +
                                ", more than an update may be, so it was stopped.");
}

Failure noHomeFolder() {
    return Failure::couldNotInstall(
        "No home folder is set for this user, so there is no folder of this user's own to install it in.");
}

Failure tooSlow(const AgentUpdater::DownloadBounds& bounds) {
    return Failure::unreachable("It came in slower than " + sizeText(bounds.bytesPerSecond) + "/s for " +
                                periodText(bounds.period) + ", so it was stopped.");
}

std::string reasonOf(const std::exception& error) {
    if (const auto* system = dynamic_cast<const std::system_error*>(&error))
        return system->code().message();
    return describeException(std::current_exception());
}

} // namespace UpdateFailures

} // namespace varnel

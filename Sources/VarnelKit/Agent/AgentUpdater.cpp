#include "VarnelKit/Agent/AgentUpdater.hpp"

#include "VarnelKit/Agent/IncomingImage.hpp"
#include "VarnelKit/Agent/UpdateFailures.hpp"
#include "VarnelKit/Agent/UpdateInstall.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/OwnedFolder.hpp"
#include "VarnelKit/Support/Paths.hpp"
#include "VarnelKit/Support/TransportError.hpp"

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

namespace varnel {

namespace fs = std::filesystem;
using Failure = AgentUpdater::Failure;
using UpdateFailures::inSystemWords;

namespace {

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

// 64 hexadecimal digits in either case, as a SHA-256 digest is published.
bool isSha256Text(std::string_view text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (asciiLower(c) >= 'a' && asciiLower(c) <= 'f');
           });
}

} // namespace

AgentUpdater::AgentUpdater(std::shared_ptr<AgentLogging> logger, std::shared_ptr<HttpTransport> session)
    : AgentUpdater(std::move(logger), std::move(session), Places{}) {}

AgentUpdater::AgentUpdater(std::shared_ptr<AgentLogging> logger, std::shared_ptr<HttpTransport> session,
                           Places places)
    : logger_(std::move(logger)), session_(std::move(session)), places_(std::move(places)) {
    if (!places_.diskImage)
        places_.diskImage = std::make_shared<DiskImage>();
}

bool AgentUpdater::isPlausibleVersion(std::string_view version) {
    if (version.size() > 32)
        return false;
    std::size_t groups = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = version.find('.', start);
        const std::string_view group =
            version.substr(start, dot == std::string_view::npos ? version.npos : dot - start);
        if (group.empty() || group.size() > 9)
            return false;
        if (!std::all_of(group.begin(), group.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        ++groups;
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    return groups == 3;
}

namespace {

// Made only in a folder of this user's own, as everything in the data folder: another user's (root
// given a user's HOME) gets nothing.
void makeStagingFolder(const fs::path& staging) {
    const auto data = OwnedFolder::openForWriting(staging.parent_path());
    if (!data.folder.isOpen())
        throw fs::filesystem_error("cannot make the update folder", staging,
                                   std::error_code(data.status, std::generic_category()));
    const Descriptor made(OwnedFolder::makeIn(data.folder.get(), staging.filename().string()));
    if (!made.isOpen())
        throw fs::filesystem_error("cannot make the update folder", staging,
                                   std::error_code(errno, std::generic_category()));
}

} // namespace

fs::path AgentUpdater::stagingDirectory() {
    return Paths::updatesDirectory();
}

fs::path AgentUpdater::installedLocation(const fs::path& executable) {
    const fs::path folder = executable.parent_path();
    if (folder.filename() == "bin" && folder.parent_path().extension() == ".app")
        return folder.parent_path();
    const fs::path home = Paths::homeDirectory();
    if (home.empty())
        throw UpdateFailures::noHomeFolder();
    return home / "Applications" / "Varnel.app";
}

fs::path AgentUpdater::installedLocation() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    return installedLocation(error ? fs::path() : executable);
}

// g++ 12 takes the coroutine frame's own allocation and release for a mismatched pair once the
// blocking-pool hop is inlined here; the frame is allocated and freed by the same class.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
Awaitable<fs::path> AgentUpdater::download(VarnelAPIClient::AgentUpdate update, Progress progress) {
    const std::string version = update.version;
    if (!isPlausibleVersion(version))
        throw Failure::rejected("the version \"" + version + "\" is not a version");
    const Url& url = update.downloadURL;
    if (!url.has_scheme() || !equalsIgnoringAsciiCase(url.scheme(), "https")) {
        throw Failure::rejected("it is not served over HTTPS");
    }
    // Known before any byte is fetched: no download could ever match it.
    if (!isSha256Text(update.sha256))
        throw UpdateFailures::malformedChecksum();
    const DownloadBounds& bounds = places_.downloadBounds;

    const fs::path staging = stagingDirectory();
    const std::string name = "Varnel-" + version + ".dmg";
    const fs::path target = staging / name;
    // The download's own file steps fail as the disk does, not as the server does; a user reads
    // the system's reason either way.
    auto incoming = inSystemWords(&Failure::unreachable, [&] {
        makeStagingFolder(staging);
        // An image left by an earlier download of this version goes first: whatever happens below,
        // no file at this place can be mistaken for the one now offered.
        std::error_code ignored;
        fs::remove(target, ignored);
        return std::make_shared<IncomingImage>(staging, name, bounds.largest, std::move(progress));
    });
    struct DiscardUnlessKept {
        std::shared_ptr<IncomingImage> image;
        ~DiscardUnlessKept() { image->discard(); }
    } discardUnlessKept{incoming};
    logger_->info("Downloading Varnel " + version);

    HttpRequest request;
    request.method = "GET";
    request.url = std::string(url.buffer());
    request.slowestRate = HttpSlowestRate{bounds.bytesPerSecond, bounds.period};
    HttpDownloadSink sink{[incoming](const HttpResponseHead& head) { incoming->begin(head); },
                          [incoming](std::string_view piece) { incoming->take(piece); }};
    std::exception_ptr failure;
    try {
        co_await session_->download(std::move(request), std::move(sink));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        if (const std::exception_ptr writeError = incoming->writeError())
            inSystemWords(&Failure::unreachable, [&] { std::rethrow_exception(writeError); });
        if (isCancellation(failure))
            std::rethrow_exception(failure);
        try {
            std::rethrow_exception(failure);
        } catch (const Failure&) {
            throw; // the image's own refusal: too large
        } catch (const TransportError& error) {
            if (error.code() == TransportError::Code::tooSlow)
                throw UpdateFailures::tooSlow(bounds);
            throw Failure::unreachable(describeException(failure));
        } catch (...) {
            throw Failure::unreachable(describeException(failure));
        }
    }

    if (!equalsIgnoringAsciiCase(incoming->digest(), update.sha256)) {
        logger_->error("The downloaded update for " + version +
                       " did not match the checksum the server published, so it has not been installed.");
        throw Failure::checksumMismatch();
    }
    auto keep = [incoming, target] {
        inSystemWords(&Failure::unreachable, [&] { incoming->keepAs(target); });
    };
    co_await runBlocking(std::move(keep));
    logger_->info("Verified Varnel " + version);
    co_return target;
}

Awaitable<fs::path> AgentUpdater::install(VarnelAPIClient::AgentUpdate update, Progress progress) {
    // An update that has nowhere to go is not fetched either.
    if (places_.installedLocation.empty())
        (void)installedLocation();
    const std::string version = update.version;
    const fs::path image = co_await download(std::move(update), std::move(progress));
    co_return co_await installFrom(image, version);
}

Awaitable<fs::path> AgentUpdater::installFrom(fs::path image, std::string version) {
    auto work = [this, image, version] {
        return inSystemWords(&Failure::couldNotInstall,
                             [&] { return UpdateInstall::installFrom(image, version, places_, *logger_); });
    };
    const UpdateInstall::Installed installed = co_await runBlocking(std::move(work));
    previous_ = installed.previous;
    logger_->info("Installed Varnel " + version);
    co_return installed.location;
}
#pragma GCC diagnostic pop

void AgentUpdater::putBack(const fs::path& installed, const fs::path& previous) {
    UpdateInstall::putBack(installed, previous);
}

void AgentUpdater::removeLeftovers() {
    removeLeftovers(Places{});
}

void AgentUpdater::removeLeftovers(const Places& places) {
    UpdateInstall::removeLeftovers(places);
}

std::unique_lock<std::timed_mutex> AgentUpdater::holdMoves(std::chrono::steady_clock::duration limit) {
    return std::unique_lock<std::timed_mutex>(UpdateInstall::movesMutex(), limit);
}

} // namespace varnel

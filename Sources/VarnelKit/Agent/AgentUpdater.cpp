#include "VarnelKit/Agent/AgentUpdater.hpp"

#include "VarnelKit/Platform/FileTree.hpp"
#include "VarnelKit/Platform/PrivateFolder.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/Paths.hpp"
#include "VarnelKit/Support/Sha256.hpp"
#include "VarnelKit/Support/WriteAll.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace varnel {

namespace fs = std::filesystem;
using Failure = AgentUpdater::Failure;

// MARK: Failure

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

namespace {

// MARK: Small helpers

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

// A random (version 4) UUID in upper-case text, for names no one else picks.
std::string makeUuid() {
    std::random_device source;
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        const std::uint32_t word = source();
        for (std::size_t j = 0; j < 4; ++j)
            bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

void removeQuietly(const fs::path& path) {
    try {
        FileTree::removeAll(path);
    } catch (const std::exception&) {
        // Litter in a temporary folder at worst; the caller's outcome stands.
    }
}

fs::filesystem_error lastError(const std::string& what, const fs::path& path) {
    return fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

// MARK: Download

// Reports received/length whenever it has grown by at least 0.01 since the last report, and once
// more when exactly `length` bytes are in. The test runs per byte, whatever the size of the pieces
// the transport hands over, so the reports are the same however the body is cut up.
class ProgressMeter {
public:
    ProgressMeter(AgentUpdater::Progress progress, std::uint64_t length)
        : progress_(std::move(progress)), length_(length) {}

    void advance(std::uint64_t count) {
        const std::uint64_t first = received_ + 1;
        const std::uint64_t last = received_ + count;
        received_ = last;
        if (length_ < 1 || count == 0)
            return;
        std::uint64_t from = first;
        while (from <= last) {
            std::optional<std::uint64_t> at = firstStep(from, last);
            if (length_ >= from && length_ <= last && (!at || length_ < *at))
                at = length_;
            if (!at)
                return;
            report(*at);
            from = *at + 1;
        }
    }

private:
    double fractionAt(std::uint64_t count) const {
        return static_cast<double>(count) / static_cast<double>(length_);
    }
    bool isStep(std::uint64_t count) const { return fractionAt(count) - last_ >= 0.01; }

    // The first count in [from, to] that is a step. The test only grows with the count, so a
    // binary search finds the same count a byte-by-byte walk would.
    std::optional<std::uint64_t> firstStep(std::uint64_t from, std::uint64_t to) const {
        if (!isStep(to))
            return std::nullopt;
        while (from < to) {
            const std::uint64_t middle = from + (to - from) / 2;
            if (isStep(middle)) {
                to = middle;
            } else {
                from = middle + 1;
            }
        }
        return from;
    }

    void report(std::uint64_t count) {
        const double fraction = fractionAt(count);
        last_ = fraction;
        if (progress_)
            progress_(std::min(fraction, 1.0));
    }

    AgentUpdater::Progress progress_;
    std::uint64_t length_;
    std::uint64_t received_ = 0;
    double last_ = 0.0;
};

// The body on its way to the staging folder: written to a private temporary file beside the
// final name and hashed as it arrives. The transport feeds it on its own thread; the updater
// reads it again only after the transfer has ended. Unless kept, the file goes with the object.
class IncomingImage {
public:
    IncomingImage(const fs::path& folder, const std::string& name, AgentUpdater::Progress progress)
        : progress_(std::move(progress)) {
        std::string pattern = (folder / ("." + name + ".download-XXXXXX")).string();
        descriptor_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (descriptor_ < 0)
            throw lastError("cannot create the download file", pattern);
        path_ = pattern;
    }
    ~IncomingImage() { discard(); }
    IncomingImage(const IncomingImage&) = delete;
    IncomingImage& operator=(const IncomingImage&) = delete;

    void begin(const HttpResponseHead& head) {
        if (head.status < 200 || head.status > 299)
            throw VarnelAPIClient::APIError::http(head.status, "");
        meter_.emplace(progress_, head.contentLength.value_or(0));
    }

    void take(std::string_view piece) {
        write(piece);
        hash_.update(piece);
        if (!meter_)
            meter_.emplace(progress_, 0);
        meter_->advance(piece.size());
    }

    // Set when writing to the file failed: that is the disk's fault, not the server's.
    const std::exception_ptr& writeError() const noexcept { return writeError_; }
    std::string digest() { return hash_.finishHex(); }

    // Removes the partial file unless it was kept. Called once the transfer has ended, so that
    // nothing is left behind even while the transport still holds the sink for a moment.
    void discard() {
        if (descriptor_ >= 0)
            ::close(descriptor_);
        descriptor_ = -1;
        if (!kept_ && !path_.empty())
            ::unlink(path_.c_str());
        path_.clear();
    }

    // Flushes the file to the disk and gives it its final name, replacing any file there.
    void keepAs(const fs::path& target) {
        if (::fdatasync(descriptor_) != 0)
            throw lastError("cannot write the download file", path_);
        const int descriptor = descriptor_;
        descriptor_ = -1;
        if (::close(descriptor) != 0)
            throw lastError("cannot write the download file", path_);
        fs::rename(path_, target);
        kept_ = true;
    }

private:
    void write(std::string_view piece) {
        if (const int error = writeAll(descriptor_, piece); error != 0) {
            errno = error;
            writeError_ = std::make_exception_ptr(lastError("cannot write the download file", path_));
            std::rethrow_exception(writeError_);
        }
    }

    AgentUpdater::Progress progress_;
    fs::path path_;
    int descriptor_ = -1;
    bool kept_ = false;
    Sha256 hash_;
    std::optional<ProgressMeter> meter_;
    std::exception_ptr writeError_;
};

// MARK: Install

std::string reasonOf(const std::exception& error) {
    if (const auto* system = dynamic_cast<const std::system_error*>(&error))
        return system->code().message();
    return describeException(std::current_exception());
}

// A name beside the installed folder for a tree on its way in or out; hidden, and unique.
fs::path besideInstalled(const fs::path& installed) {
    return installed.parent_path() / ("." + installed.filename().string() + "-" + makeUuid());
}

bool isUuid(std::string_view text) {
    if (text.size() != 36)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

// The install's moves, one at a time, and never while the process is ending (holdMoves()).
std::timed_mutex& movesMutex() {
    static std::timed_mutex mutex;
    return mutex;
}

// Puts the staged folder at `installed` and gives where the tree that was there went (empty when
// there was none); that tree stays beside the new one. Nothing is moved before the new tree sits
// beside the target, on its file system, and is on the disk: a power cut or a kill then finds the
// old tree or the whole new one.
fs::path putInPlace(const fs::path& staged, const fs::path& installed, bool replacing,
                    const std::function<void(AgentUpdater::Step)>& step) {
    using Step = AgentUpdater::Step;
    // Moving a folder into another folder rewrites its "..", which needs write permission on the
    // folder itself; an image may well ship its top folder read-only.
    fs::permissions(staged, fs::perms::owner_write, fs::perm_options::add);
    const fs::path incoming = besideInstalled(installed);
    try {
        fs::rename(staged, incoming);
    } catch (const fs::filesystem_error& error) {
        if (error.code() != std::errc::cross_device_link)
            throw;
        step(Step::copyBesideTarget);
        try {
            FileTree::copy(staged, incoming);
        } catch (...) {
            removeQuietly(incoming);
            throw;
        }
        removeQuietly(staged);
    }
    try {
        step(Step::flush);
        FileTree::flush(incoming);
        const std::lock_guard moves(movesMutex());
        step(Step::swap);
        if (!replacing) {
            fs::rename(incoming, installed);
            return {};
        }
        return FileTree::replace(incoming, installed, besideInstalled(installed),
                                 [&] { step(Step::moveIn); });
    } catch (...) {
        removeQuietly(incoming);
        throw;
    }
}

// Entries of `folder` that this user owns and `isLeftover` names, removed; a link is removed, not
// followed. Errors leave the entry for the next time.
template <typename Predicate> void removeOwnEntries(const fs::path& folder, Predicate&& isLeftover) {
    std::error_code error;
    std::vector<fs::path> found;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (isLeftover(it->path().filename().string()))
            found.push_back(it->path());
    }
    for (const auto& path : found) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || info.st_uid != ::getuid())
            continue;
        removeQuietly(path);
    }
}

// A file error in the system's own words ("No space left on device"), as the given case: the
// library's "filesystem error: cannot …: … [path]" is no sentence for a user.
template <typename Work>
auto inSystemWords(Failure (*failure)(std::string), Work&& work) {
    try {
        return work();
    } catch (const std::system_error& error) {
        throw failure(error.code().message());
    }
}

} // namespace

// MARK: AgentUpdater

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

fs::path AgentUpdater::stagingDirectory() {
    return Paths::updatesDirectory();
}

fs::path AgentUpdater::installedLocation(const fs::path& executable) {
    const fs::path folder = executable.parent_path();
    if (folder.filename() == "bin" && folder.parent_path().extension() == ".app")
        return folder.parent_path();
    fs::path home = Paths::homeDirectory();
    if (home.empty())
        home = fs::temp_directory_path() / ("varnel-user-" + std::to_string(getuid()));
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

    const fs::path staging = stagingDirectory();
    const std::string name = "Varnel-" + version + ".dmg";
    const fs::path target = staging / name;
    // The download's own file steps fail as the disk does, not as the server does; a user reads
    // the system's reason either way.
    auto incoming = inSystemWords(&Failure::unreachable, [&] {
        fs::create_directories(staging);
        // An image left by an earlier download of this version goes first: whatever happens below,
        // no file at this place can be mistaken for the one now offered.
        std::error_code ignored;
        fs::remove(target, ignored);
        return std::make_shared<IncomingImage>(staging, name, std::move(progress));
    });
    struct DiscardUnlessKept {
        std::shared_ptr<IncomingImage> image;
        ~DiscardUnlessKept() { image->discard(); }
    } discardUnlessKept{incoming};
    logger_->info("Downloading Varnel " + version);

    HttpRequest request;
    request.method = "GET";
    request.url = std::string(url.buffer());
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
        throw Failure::unreachable(describeException(failure));
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
    const std::string version = update.version;
    const fs::path image = co_await download(std::move(update), std::move(progress));
    co_return co_await installFrom(image, version);
}

Awaitable<fs::path> AgentUpdater::installFrom(fs::path image, std::string version) {
    auto work = [this, image, version] {
        return inSystemWords(&Failure::couldNotInstall, [&] { return installBlocking(image, version); });
    };
    const Installed installed = co_await runBlocking(std::move(work));
    previous_ = installed.previous;
    logger_->info("Installed Varnel " + version);
    co_return installed.location;
}
#pragma GCC diagnostic pop

AgentUpdater::Installed AgentUpdater::installBlocking(const fs::path& image,
                                                      const std::string& version) const {
    const auto step = [this](Step next) {
        if (places_.beforeStep)
            places_.beforeStep(next);
    };
    // A folder made for this install goes with it, whatever is left in it.
    struct RemoveFresh {
        fs::path folder;
        ~RemoveFresh() {
            if (!folder.empty())
                removeQuietly(folder);
        }
    } removeFresh;
    fs::path temporary = places_.temporaryDirectory;
    if (temporary.empty()) {
        temporary = PrivateFolder::makeFresh("varnel-update-");
        removeFresh.folder = temporary;
    }
    const fs::path mountPoint = temporary / ("varnel-update-" + makeUuid());
    fs::create_directories(mountPoint);
    step(Step::unpack);
    DiskImage& diskImage = *places_.diskImage;
    try {
        diskImage.attach(image, mountPoint);
    } catch (const DiskImage::Failure& failure) {
        throw Failure::couldNotMount(failure.description());
    }

    struct Detach {
        DiskImage& diskImage;
        const fs::path& mountPoint;
        ~Detach() {
            try {
                diskImage.detach(mountPoint);
            } catch (const std::exception&) {
                // Whatever is left is removed below.
            }
            removeQuietly(mountPoint);
        }
    } detach{diskImage, mountPoint};

    // A link named Varnel.app would install a link into this mount point, gone in a moment.
    const fs::path bundle = mountPoint / "Varnel.app";
    if (fs::symlink_status(bundle).type() != fs::file_type::directory) {
        throw Failure::couldNotInstall("The disk image did not contain Varnel.app.");
    }

    const fs::path installed =
        places_.installedLocation.empty() ? installedLocation() : places_.installedLocation;
    const fs::path staged = temporary / ("Varnel-" + version + "-" + makeUuid() + ".app");
    try {
        step(Step::stage);
        FileTree::copy(bundle, staged);
    } catch (...) {
        removeQuietly(staged);
        throw;
    }

    const bool replacing = fs::exists(fs::symlink_status(installed));
    fs::path previous;
    try {
        fs::create_directories(installed.parent_path());
        previous = putInPlace(staged, installed, replacing, step);
    } catch (const FileTree::LeftAside& error) {
        removeQuietly(staged);
        throw Failure::couldNotInstall(
            "Varnel.app could not be put in place at " + installed.string() + " (" + error.code().message() +
            "), and the Varnel.app that was there could not be put back: it is now at " +
            error.path2().string() + ". You may need to install it by hand from " + image.string() + ".");
    } catch (const std::exception& error) {
        removeQuietly(staged);
        throw Failure::couldNotInstall("Varnel.app could not be put in place at " + installed.string() +
                                       " (" + reasonOf(error) +
                                       "). You may need to install it by hand from " + image.string() + ".");
    }
    // The swap is done and in effect; should its record not reach the disk, undoing it would not
    // either, so the install stands.
    try {
        step(Step::flushFolder);
        FileTree::flushFolder(installed.parent_path());
    } catch (const std::exception& error) {
        logger_->error("The folder " + installed.parent_path().string() +
                       " could not be written to the disk: " + reasonOf(error));
    }
    return {installed, previous};
}

void AgentUpdater::putBack(const fs::path& installed, const fs::path& previous) {
    try {
        fs::path failed;
        {
            const std::lock_guard moves(movesMutex());
            failed = FileTree::replace(previous, installed, besideInstalled(installed));
        }
        try {
            FileTree::flushFolder(installed.parent_path());
        } catch (const std::exception&) {
            // As after an install: the moves are done either way.
        }
        removeQuietly(failed);
    } catch (const std::exception& error) {
        throw Failure::couldNotInstall("The Varnel.app you had could not be put back at " +
                                       installed.string() + " (" + reasonOf(error) + "); it is at " +
                                       previous.string() + ".");
    }
}

void AgentUpdater::removeLeftovers() {
    removeLeftovers(Places{});
}

void AgentUpdater::removeLeftovers(const Places& places) {
    const fs::path installed =
        places.installedLocation.empty() ? installedLocation() : places.installedLocation;
    const std::string hidden = "." + installed.filename().string() + "-";
    removeOwnEntries(installed.parent_path(), [&](std::string_view name) {
        return name.starts_with(hidden) && isUuid(name.substr(hidden.size()));
    });

    std::vector<fs::path> temporaries;
    if (!places.temporaryDirectory.empty()) {
        temporaries.push_back(places.temporaryDirectory);
    } else {
        if (const auto runtime = PrivateFolder::runtimeFolder())
            temporaries.push_back(*runtime);
        temporaries.push_back(PrivateFolder::sharedTemporaryFolder());
    }
    static constexpr std::string_view app = ".app";
    for (const auto& folder : temporaries) {
        removeOwnEntries(folder, [](std::string_view name) {
            // Folders of an install, and mount points and staged copies made in a given folder.
            if (name.starts_with("varnel-update-"))
                return true;
            return name.starts_with("Varnel-") && name.ends_with(app) && name.size() > 7 + 36 + app.size() &&
                   isUuid(name.substr(name.size() - app.size() - 36, 36));
        });
    }

    fs::path staging;
    try {
        staging = stagingDirectory();
    } catch (const std::exception&) {
        return; // No data folder, so no downloads either.
    }
    removeOwnEntries(staging, [](std::string_view name) {
        return name.starts_with(".Varnel-") && name.find(".dmg.download-") != std::string_view::npos;
    });
}

std::unique_lock<std::timed_mutex> AgentUpdater::holdMoves(std::chrono::steady_clock::duration limit) {
    return std::unique_lock<std::timed_mutex>(movesMutex(), limit);
}

} // namespace varnel

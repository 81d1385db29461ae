#pragma once

#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Platform/DiskImage.hpp"
#include "VarnelKit/Platform/HttpTransport.hpp"
#include "VarnelKit/Support/AgentLogging.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/Task.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace varnel {

// Installs an update the server offered: downloads the disk image over https, checks it against
// the published SHA-256, unpacks it and puts its Varnel.app in place of the installed one, keeping
// the old one beside it until the new program has shown that it runs. It neither looks for updates
// nor restarts anything. An actor: used only on the agent loop; the unpacking and copying run on
// the blocking pool.
class AgentUpdater {
public:
    class Failure : public Error {
    public:
        enum class Kind { rejected, unreachable, couldNotMount, couldNotInstall, checksumMismatch };

        static Failure rejected(std::string detail);
        static Failure unreachable(std::string detail);
        static Failure couldNotMount(std::string detail);
        static Failure couldNotInstall(std::string detail);
        static Failure checksumMismatch();

        Kind kind() const noexcept { return kind_; }
        // The case's text; empty for checksumMismatch.
        const std::string& detail() const noexcept { return detail_; }

        bool operator==(const Failure& other) const {
            return kind_ == other.kind_ && detail_ == other.detail_;
        }

    private:
        Failure(Kind kind, std::string detail, std::string description);
        Kind kind_;
        std::string detail_;
    };

    // A fraction from 0 to 1. Called on whichever thread the transport delivers the body on, so
    // it must be safe to call from any thread.
    using Progress = std::function<void(double)>;

    // The steps of putting an image in place, in their order. copyBesideTarget is taken only when
    // the staging folder is on another file system than the installed folder, moveIn only when
    // the file system refuses to exchange two folders in one step.
    enum class Step { unpack, stage, copyBesideTarget, flush, swap, moveIn, flushFolder };

    // How far a download may go. An endless body would fill the disk and a trickle would hold the
    // updater without end; an image is far smaller than the size and any working network faster
    // than the rate.
    struct DownloadBounds {
        static constexpr std::uint64_t largestImage = 1024ull * 1024 * 1024;
        static constexpr std::uint64_t slowestBytesPerSecond = 1024;
        static constexpr std::chrono::seconds slowestRateFor{60};

        // A longer announced length is refused before the body comes; a body without one, or
        // longer than announced, is cut as it passes the size.
        std::uint64_t largest = largestImage;
        // Fewer than bytesPerSecond times period bytes in a period cut the download.
        std::uint64_t bytesPerSecond = slowestBytesPerSecond;
        std::chrono::seconds period = slowestRateFor;
    };

    // Where installing reads and writes, and how far a download may go. The defaults are the
    // user's real places; tests give their own so that nothing real is touched.
    struct Places {
        // The folder that is replaced; empty means installedLocation().
        std::filesystem::path installedLocation;
        // Where the image is unpacked and the new folder staged; empty means a new private folder
        // for each install, in the session's runtime folder when it is this user's own, else in
        // the shared temporary folder.
        std::filesystem::path temporaryDirectory;
        // How the image is opened; none means the real DiskImage.
        std::shared_ptr<DiskImage> diskImage;
        // Called before each step with the step, on the blocking pool; what it throws fails the
        // step as the step's own call failing would. For tests that stop an install part-way, and
        // for a caller that may have to refuse the swap (it is called for that step with the moves
        // held, so nothing comes between it and the swap).
        std::function<void(Step)> beforeStep{};
        // The product's bounds unless a test needs them smaller.
        DownloadBounds downloadBounds{};
    };

    AgentUpdater(std::shared_ptr<AgentLogging> logger, std::shared_ptr<HttpTransport> session);
    AgentUpdater(std::shared_ptr<AgentLogging> logger, std::shared_ptr<HttpTransport> session, Places places);

    // Refuses an implausible version, a download that is not https or a checksum that is not 64
    // hexadecimal digits before any request or file access; then streams the image into the
    // staging folder while hashing it, within the download bounds, and keeps it as
    // Varnel-<version>.dmg only when the digest matches the offer's, ignoring letter case. A
    // refused download leaves nothing behind and an earlier file of that name as it was. A file
    // error of these steps is `unreachable` with the system's reason. Gives the image's path.
    Awaitable<std::filesystem::path> download(VarnelAPIClient::AgentUpdate update, Progress progress);
    // download(), then installFrom() with the image; refused before the download when there is no
    // installed location (installedLocation()). Gives the installed location.
    Awaitable<std::filesystem::path> install(VarnelAPIClient::AgentUpdate update, Progress progress);
    // Unpacks the image into a fresh mount point and copies its Varnel.app next to it; brings that
    // copy beside the installed folder (a rename, or a copy from another file system), writes it
    // to the disk, and only then swaps it with the installed folder (or moves it there when there
    // is none) and writes the folder holding them. Where the file system cannot swap folders, the
    // old one is moved aside first and put back if the new one cannot go in. The old tree is kept
    // beside the new one (previousTree()) for putBack() or removeLeftovers(). The mount point is
    // detached and removed on every path once the image was opened. A file error is
    // `couldNotInstall` with the system's reason. The image stays where it is. Gives the installed
    // location.
    Awaitable<std::filesystem::path> installFrom(std::filesystem::path image, std::string version);

    // The installed tree that the last installFrom() replaced, kept beside the new one as a hidden
    // ".Varnel.app-…" folder; empty when there was none.
    const std::filesystem::path& previousTree() const noexcept { return previous_; }

    // Puts a tree that an install replaced back at `installed` and removes the new one there: what
    // follows when the new program cannot be started. Blocks. `couldNotInstall`, saying where the
    // old tree is, when it cannot be put back.
    static void putBack(const std::filesystem::path& installed, const std::filesystem::path& previous);

    // Removes what earlier installs left: trees kept or copied beside the installed folder, their
    // unpacked images and staged copies in the temporary folders, and partial downloads in the
    // staging folder; only entries of this user's own. For the program that holds the
    // single-instance lock, when no install of this user can be under way. Blocks; what cannot be
    // removed stays, for the next time.
    static void removeLeftovers();
    static void removeLeftovers(const Places& places);

    // Waits at most `limit` for an install's moves under way (the swap of two folders, which takes
    // microseconds) and keeps others from starting while the lock is held. A quit takes it before
    // the process ends, so that the process never ends between the moves.
    static std::unique_lock<std::timed_mutex> holdMoves(std::chrono::steady_clock::duration limit);

    // Varnel/updates in the per-user data folder. Creates nothing.
    static std::filesystem::path stagingDirectory();
    // The Varnel.app folder that holds the running program, else ~/Applications/Varnel.app. With
    // no home folder, `couldNotInstall`: a folder in a shared one could have been made by another
    // user, who would then own what is installed there.
    static std::filesystem::path installedLocation();
    // The same rule for a given program path: <X>.app/bin/<program> gives <X>.app.
    static std::filesystem::path installedLocation(const std::filesystem::path& executable);
    // Three groups of 1 to 9 ASCII digits separated by ".", at most 32 characters in all. Being
    // part of a file name, this also keeps the version from naming any other place.
    static bool isPlausibleVersion(std::string_view version);

private:
    std::shared_ptr<AgentLogging> logger_;
    std::shared_ptr<HttpTransport> session_;
    Places places_;
    std::filesystem::path previous_;
};

} // namespace varnel

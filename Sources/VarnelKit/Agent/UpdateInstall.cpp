#include "VarnelKit/Agent/UpdateInstall.hpp"

#include "VarnelKit/Agent/UpdateFailures.hpp"
#include "VarnelKit/Agent/UpdateFiles.hpp"
#include "VarnelKit/Platform/FileTree.hpp"
#include "VarnelKit/Platform/PrivateFolder.hpp"

#include <functional>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace varnel::UpdateInstall {

namespace fs = std::filesystem;
using UpdateFailures::reasonOf;
using UpdateFiles::isUuid;
using UpdateFiles::makeUuid;
using UpdateFiles::removeQuietly;

namespace {

// A name beside the installed folder for a tree on its way in or out; hidden, and unique.
fs::path besideInstalled(const fs::path& installed) {
    return installed.parent_path() / ("." + installed.filename().string() + "-" + makeUuid());
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

} // namespace

std::timed_mutex& movesMutex() {
    static std::timed_mutex mutex;
    return mutex;
}

Installed installFrom(const fs::path& image, const std::string& version, const AgentUpdater::Places& places,
                      AgentLogging& logger) {
    using Step = AgentUpdater::Step;
    const auto step = [&places](Step next) {
        if (places.beforeStep)
            places.beforeStep(next);
    };
    // A folder made for this install goes with it, whatever is left in it.
    struct RemoveFresh {
        fs::path folder;
        ~RemoveFresh() {
            if (!folder.empty())
                removeQuietly(folder);
        }
    } removeFresh;
    fs::path temporary = places.temporaryDirectory;
    if (temporary.empty()) {
        temporary = PrivateFolder::makeFresh("varnel-update-");
        removeFresh.folder = temporary;
    }
    const fs::path mountPoint = temporary / ("varnel-update-" + makeUuid());
    fs::create_directories(mountPoint);
    step(Step::unpack);
    DiskImage& diskImage = *places.diskImage;
    try {
        diskImage.attach(image, mountPoint);
    } catch (const DiskImage::Failure& failure) {
        throw AgentUpdater::Failure::couldNotMount(failure.description());
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
        throw AgentUpdater::Failure::couldNotInstall("The disk image did not contain Varnel.app.");
    }

    const fs::path installed =
        places.installedLocation.empty() ? AgentUpdater::installedLocation() : places.installedLocation;
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
        throw AgentUpdater::Failure::couldNotInstall(
            "Varnel.app could not be put in place at " + installed.string() + " (" + error.code().message() +
            "), and the Varnel.app that was there could not be put back: it is now at " +
            error.path2().string() + ". You may need to install it by hand from " + image.string() + ".");
    } catch (const std::exception& error) {
        removeQuietly(staged);
        throw AgentUpdater::Failure::couldNotInstall(
            "Varnel.app could not be put in place at " + installed.string() + " (" + reasonOf(error) +
            "). You may need to install it by hand from " + image.string() + ".");
    }
    // The swap is done and in effect; should its record not reach the disk, undoing it would not
    // either, so the install stands.
    try {
        step(Step::flushFolder);
        FileTree::flushFolder(installed.parent_path());
    } catch (const std::exception& error) {
        logger.error("The folder " + installed.parent_path().string() +
                     " could not be written to the disk: " + reasonOf(error));
    }
    return {installed, previous};
}

void putBack(const fs::path& installed, const fs::path& previous) {
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
        throw AgentUpdater::Failure::couldNotInstall("The Varnel.app you had could not be put back at " +
                                                     installed.string() + " (" + reasonOf(error) +
                                                     "); it is at " + previous.string() + ".");
    }
}

void removeLeftovers(const AgentUpdater::Places& places) {
    fs::path installed = places.installedLocation;
    try {
        if (installed.empty())
            installed = AgentUpdater::installedLocation();
    } catch (const AgentUpdater::Failure&) {
        // No home folder, so no install either, and nothing beside one.
    }
    if (!installed.empty()) {
        const std::string hidden = "." + installed.filename().string() + "-";
        removeOwnEntries(installed.parent_path(), [&](std::string_view name) {
            return name.starts_with(hidden) && isUuid(name.substr(hidden.size()));
        });
    }

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
        staging = AgentUpdater::stagingDirectory();
    } catch (const std::exception&) {
        return; // No data folder, so no downloads either.
    }
    removeOwnEntries(staging, [](std::string_view name) {
        return name.starts_with(".Varnel-") && name.find(".dmg.download-") != std::string_view::npos;
    });
}

} // namespace varnel::UpdateInstall

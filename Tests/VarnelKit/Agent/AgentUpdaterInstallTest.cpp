// Installing from an update image: the installed folder swapped for the image's Varnel.app, and
// every refusal leaving the installed folder, the temporary folder and the image as they were.
#include "FakeHttpTransport.hpp"
#include "ForkedChild.hpp"
#include "TemporaryDataHome.hpp"
#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Platform/FileTree.hpp"
#include "VarnelKit/Platform/UpdateImage.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <memory>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnel {
namespace {

namespace fs = std::filesystem;
using namespace varnel::testing;
using Failure = AgentUpdater::Failure;
using fs::perms;

// A file system that cannot swap two folders in one step, as some network mounts: the exchange is
// refused with the errno of the test, and optionally the staged copy vanishes with it, so that
// moving it in fails too.
int refusal = EINVAL;
bool stagedCopyVanishes = false;
fs::path vanished;
int refusals = 0;

int refuseExchange(const char* first, const char*) {
    ++refusals;
    if (stagedCopyVanishes) {
        vanished = fs::path(first).parent_path().parent_path() / "vanished";
        fs::rename(first, vanished);
    }
    errno = refusal;
    return -1;
}

class NoExchange {
public:
    NoExchange(int error, bool vanish) : previous_(FileTree::setExchangeCall(&refuseExchange)) {
        refusal = error;
        stagedCopyVanishes = vanish;
        refusals = 0;
    }
    ~NoExchange() { FileTree::setExchangeCall(previous_); }

private:
    FileTree::ExchangeCall previous_;
};

class AgentUpdaterInstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(temporary);
        fs::create_directories(applications);
    }

    // Made on first use (with its pool's threads): a test that forks a copy of this process must
    // have no other thread until then.
    AgentLoop& runningLoop() {
        if (!loop) {
            loop = std::make_unique<AgentLoop>();
            loop->startThread();
        }
        return *loop;
    }

    fs::path installFrom(const fs::path& from, std::string version = "2.4.0") {
        AgentUpdater updater(logger, nullptr, places());
        const fs::path result = runningLoop().blockOn(updater.installFrom(from, std::move(version)));
        previous = updater.previousTree();
        return result;
    }

    AgentUpdater::Places places() const { return AgentUpdater::Places{installed, temporary, nullptr}; }

    std::optional<Failure> failureOf(const fs::path& from) {
        return thrownBy<Failure>([&] { installFrom(from); });
    }

    // An install over the old release on a file system that refuses the exchange with `error`.
    std::optional<Failure> failureWithoutExchange(int error, bool vanish) {
        installOldRelease();
        writeImage(image, releaseBundle());
        NoExchange noExchange(error, vanish);
        auto failure = failureOf(image);
        EXPECT_EQ(refusals, 1);
        return failure;
    }

    // An installed folder from an earlier release, with a read-only part of its own.
    void installOldRelease() {
        fs::create_directories(installed / "bin");
        writeFile(installed / "bin" / "VarnelMenuBar", "old program");
        fs::create_directories(installed / "old-only");
        writeFile(installed / "old-only" / "notes", "from 2.3.0");
        fs::permissions(installed / "old-only", perms(0555));
    }

    std::size_t entriesInApplications() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(applications), fs::directory_iterator()));
    }

    // The old release, kept beside the new one until the next start of the program removes it.
    void expectOldReleaseKeptUntilTheNextStart() {
        ASSERT_FALSE(previous.empty());
        EXPECT_EQ(previous.parent_path(), applications);
        EXPECT_TRUE(previous.filename().string().starts_with(".Varnel.app-")) << previous;
        EXPECT_EQ(readFile(previous / "bin" / "VarnelMenuBar"), "old program");
        EXPECT_EQ(readFile(previous / "old-only" / "notes"), "from 2.3.0");
        EXPECT_EQ(entriesInApplications(), 2u);
        AgentUpdater::removeLeftovers(places());
        EXPECT_EQ(entriesInApplications(), 1u);
        expectNewRelease();
    }

    std::vector<std::string> temporaryNames() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(temporary))
            names.push_back(entry.path().filename().string());
        return names;
    }

    void expectNewRelease() {
        EXPECT_EQ(readFile(installed / "bin" / "VarnelMenuBar"), "#!/bin/sh\necho 2.4.0\n");
        EXPECT_EQ(permsOf(installed / "bin" / "VarnelMenuBar"), perms(0750));
        EXPECT_EQ(permsOf(installed / "share" / "version"), perms(0640));
        EXPECT_EQ(permsOf(installed / "share"), perms(0555));
        EXPECT_EQ(fs::read_symlink(installed / "current"), "bin/VarnelMenuBar");
        EXPECT_EQ(fs::read_symlink(installed / "bin" / "version"), "../share/version");
    }

    TemporaryDirectory root;
    fs::path temporary = root.path() / "tmp";
    fs::path applications = root.path() / "home" / "Applications";
    fs::path installed = applications / "Varnel.app";
    fs::path image = root.path() / "Varnel-2.4.0.dmg";
    fs::path previous;
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    std::unique_ptr<AgentLoop> loop;
};

TEST_F(AgentUpdaterInstallTest, ReplacesTheInstalledFolderKeepingModesAndLinks) {
    installOldRelease();
    writeImage(image, releaseBundle());
    EXPECT_EQ(installFrom(image), installed);

    expectNewRelease();
    EXPECT_FALSE(fs::exists(installed / "old-only"));
    // The staged copy and the mount point are gone; the image stays.
    EXPECT_EQ(temporaryNames(), std::vector<std::string>());
    EXPECT_TRUE(fs::exists(image));
    expectOldReleaseKeptUntilTheNextStart();
    EXPECT_TRUE(logger->contains("[INFO] Installed Varnel 2.4.0"));
}

TEST_F(AgentUpdaterInstallTest, InstallsWhereNoneExistsCreatingTheParentFolder) {
    fs::remove_all(applications);
    writeImage(image, releaseBundle());
    EXPECT_EQ(installFrom(image), installed);
    expectNewRelease();
    EXPECT_EQ(temporaryNames(), std::vector<std::string>());
}

TEST_F(AgentUpdaterInstallTest, AStagingFolderOnAnotherFileSystemIsCopiedBesideTheTarget) {
    struct stat shm {
    }, here{};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(root.path().c_str(), &here) != 0 ||
        shm.st_dev == here.st_dev) {
        GTEST_SKIP() << "no second file system at /dev/shm";
    }
    std::string pattern = "/dev/shm/varnel-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    temporary = pattern;
    installOldRelease();
    writeImage(image, releaseBundle());
    const fs::path result = installFrom(image);
    const std::vector<std::string> left = temporaryNames();
    fs::remove_all(temporary);

    EXPECT_EQ(result, installed);
    expectNewRelease();
    EXPECT_FALSE(fs::exists(installed / "old-only"));
    EXPECT_EQ(left, std::vector<std::string>());
    expectOldReleaseKeptUntilTheNextStart();
}

TEST_F(AgentUpdaterInstallTest, AnImageWithoutTheApplicationChangesNothing) {
    installOldRelease();
    for (const auto& entries :
         {std::vector<ImageEntry>{folder("Other.app"), file("Other.app/x", 0644, "x")},
          std::vector<ImageEntry>{file("Varnel.app", 0644, "a file, not a folder")},
          std::vector<ImageEntry>{folder("Real.app"), link("Varnel.app", "Real.app")}}) {
        SCOPED_TRACE(entries.back().path);
        writeImage(image, entries);
        EXPECT_EQ(failureOf(image), Failure::couldNotInstall("The disk image did not contain Varnel.app."));
        EXPECT_EQ(readFile(installed / "bin" / "VarnelMenuBar"), "old program");
        EXPECT_EQ(temporaryNames(), std::vector<std::string>());
    }
}

TEST_F(AgentUpdaterInstallTest, AnImageThatCannotBeOpenedLeavesOnlyTheEmptyMountPoint) {
    installOldRelease();
    writeFile(image, "garbage, not an image");
    const auto failure = failureOf(image);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Failure::Kind::couldNotMount);
    EXPECT_NE(failure->detail(), "");
    EXPECT_TRUE(failure->description().starts_with("The downloaded disk image could not be opened. "));
    EXPECT_EQ(readFile(installed / "bin" / "VarnelMenuBar"), "old program");

    const auto names = temporaryNames();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(names[0].starts_with("varnel-update-"));
    EXPECT_TRUE(fs::is_empty(temporary / names[0]));
}

TEST_F(AgentUpdaterInstallTest, AnImageWithALinkLeadingOutIsRefusedAndNothingIsWrittenOutside) {
    installOldRelease();
    auto entries = releaseBundle();
    // From the mount point, this climbs to the installed folder.
    entries.push_back(link("Varnel.app/bin/escape", "../../../../home/Applications/Varnel.app/bin"));
    writeImage(image, entries);
    const auto failure = failureOf(image);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Failure::Kind::couldNotMount);
    EXPECT_NE(failure->detail().find("points outside the disk image"), std::string::npos)
        << failure->detail();
    EXPECT_EQ(readFile(installed / "bin" / "VarnelMenuBar"), "old program");
    const auto names = temporaryNames();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(fs::is_empty(temporary / names[0]));
}

TEST_F(AgentUpdaterInstallTest, ATemporaryFolderSomeoneElseCouldHaveMadeIsNotUsed) {
    writeImage(image, releaseBundle());
    // The session's runtime folder, and the shared temporary folder with a folder of the name an
    // install once used in it, as another local user could have set them up.
    const fs::path runtime = root.path() / "run";
    const fs::path shared = root.path() / "shared";
    const fs::path taken = shared / ("varnel-user-" + std::to_string(::getuid()));
    fs::create_directories(runtime);
    fs::create_directories(taken);
    ScopedEnvironment tmpdir("TMPDIR", shared.string());
    ScopedEnvironment runtimeDirectory("XDG_RUNTIME_DIR", runtime.string());
    const struct {
        const char* how;
        perms mode;
        bool ownedByAnother;
    } variants[] = {{"open to others", perms(0777), false}, {"owned by another user", perms(0700), true}};
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.how);
        if (variant.ownedByAnother) {
            if (::geteuid() != 0)
                continue; // only root can give a folder away
            ASSERT_EQ(::chown(runtime.c_str(), 65534, 65534), 0);
            ASSERT_EQ(::chown(taken.c_str(), 65534, 65534), 0);
        }
        fs::permissions(runtime, variant.mode);
        fs::permissions(taken, variant.mode);
        fs::remove_all(installed);
        installOldRelease();

        AgentUpdater updater(logger, nullptr, AgentUpdater::Places{installed, {}, nullptr});
        EXPECT_EQ(runningLoop().blockOn(updater.installFrom(image, "2.4.0")), installed);
        expectNewRelease();
        EXPECT_TRUE(fs::is_empty(runtime));
        EXPECT_TRUE(fs::is_empty(taken));
        // The install's own folder went with it.
        EXPECT_EQ(std::distance(fs::directory_iterator(shared), fs::directory_iterator()), 1);
    }
}

TEST_F(AgentUpdaterInstallTest, AFolderThatCannotBeMadeGivesTheSystemsReason) {
    installOldRelease();
    writeImage(image, releaseBundle());
    fs::remove_all(temporary);
    writeFile(temporary, "a file where the temporary folder should be");
    const auto failure = failureOf(image);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description(), "The update could not be installed. Not a directory");
    EXPECT_EQ(readFile(installed / "bin" / "VarnelMenuBar"), "old program");
}

TEST_F(AgentUpdaterInstallTest, WithoutAnExchangeTheOldFolderIsMovedAsideAndKept) {
    for (const int error : {EINVAL, ENOSYS, ENOTSUP}) {
        SCOPED_TRACE(error);
        fs::remove_all(installed);
        installOldRelease();
        writeImage(image, releaseBundle());
        NoExchange noExchange(error, false);
        EXPECT_EQ(installFrom(image), installed);
        EXPECT_EQ(refusals, 1);
        expectNewRelease();
        EXPECT_FALSE(fs::exists(installed / "old-only"));
        EXPECT_EQ(temporaryNames(), std::vector<std::string>());
        expectOldReleaseKeptUntilTheNextStart();
    }
}

TEST_F(AgentUpdaterInstallTest, WithoutAnExchangeAFailedMoveInPutsTheOldFolderBack) {
    const auto failure = failureWithoutExchange(ENOTSUP, true);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Failure::Kind::couldNotInstall);
    EXPECT_NE(failure->detail().find("(No such file or directory)"), std::string::npos) << failure->detail();
    EXPECT_EQ(readFile(installed / "bin" / "VarnelMenuBar"), "old program");
    EXPECT_EQ(readFile(installed / "old-only" / "notes"), "from 2.3.0");
    EXPECT_EQ(entriesInApplications(), 1u);
    FileTree::removeAll(vanished);
}

TEST_F(AgentUpdaterInstallTest, AFailedReplacementSaysWhereTheImageIsAndRemovesTheStagedCopy) {
    // The swap itself fails, with an error that is no refusal to exchange.
    const auto failure = failureWithoutExchange(EIO, false);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Failure::Kind::couldNotInstall);
    EXPECT_EQ(failure->detail(), "Varnel.app could not be put in place at " + installed.string() +
                                     " (Input/output error). You may need to install it by hand from " +
                                     image.string() + ".");
    EXPECT_EQ(temporaryNames(), std::vector<std::string>());
    EXPECT_EQ(entriesInApplications(), 1u);
    EXPECT_EQ(readFile(installed / "bin" / "VarnelMenuBar"), "old program");
}

TEST_F(AgentUpdaterInstallTest, WhenTheOldFolderCannotBePutBackTheMessageSaysWhereItIs) {
    installOldRelease();
    writeImage(image, releaseBundle());
    NoExchange noExchange(EINVAL, false);
    AgentUpdater::Places stopped = places();
    stopped.beforeStep = [&](AgentUpdater::Step step) {
        if (step != AgentUpdater::Step::moveIn)
            return;
        // Something takes the emptied place, so that neither folder can go there.
        fs::create_directories(installed / "taken");
        throw fs::filesystem_error("cannot move in", installed, std::make_error_code(std::errc::io_error));
    };
    AgentUpdater updater(logger, nullptr, stopped);
    const auto failure = thrownBy<Failure>(runningLoop(), updater.installFrom(image, "2.4.0"));
    ASSERT_TRUE(failure);
    std::vector<fs::path> beside;
    for (const auto& entry : fs::directory_iterator(applications)) {
        if (entry.path() != installed)
            beside.push_back(entry.path());
    }
    ASSERT_EQ(beside.size(), 1u);
    EXPECT_EQ(readFile(beside[0] / "bin" / "VarnelMenuBar"), "old program");
    EXPECT_EQ(failure->detail(),
              "Varnel.app could not be put in place at " + installed.string() +
                  " (Input/output error), and the Varnel.app that was there could not be put "
                  "back: it is now at " +
                  beside[0].string() + ". You may need to install it by hand from " + image.string() + ".");
    EXPECT_EQ(temporaryNames(), std::vector<std::string>());
}

// What reaches the disk, and when: each flush by the path it was made through, and the swap.
std::vector<std::string> diskEvents;

int recordFlush(int descriptor) {
    diskEvents.push_back("flush " + fs::read_symlink("/proc/self/fd/" + std::to_string(descriptor)).string());
    return ::fsync(descriptor);
}

int recordExchange(const char* first, const char* second) {
    diskEvents.push_back(std::string("exchange ") + first);
    return ::renameat2(AT_FDCWD, first, AT_FDCWD, second, RENAME_EXCHANGE);
}

TEST_F(AgentUpdaterInstallTest, TheNewTreeIsOnTheDiskBeforeTheSwapAndTheFolderAfter) {
    installOldRelease();
    writeImage(image, releaseBundle());
    diskEvents.clear();
    const auto flush = FileTree::setFlushCall(&recordFlush);
    const auto exchange = FileTree::setExchangeCall(&recordExchange);
    installFrom(image);
    FileTree::setFlushCall(flush);
    FileTree::setExchangeCall(exchange);

    const auto swap = std::find_if(diskEvents.begin(), diskEvents.end(),
                                   [](const std::string& event) { return event.starts_with("exchange "); });
    ASSERT_NE(swap, diskEvents.end());
    const fs::path incoming = swap->substr(std::string_view("exchange ").size());
    const auto flushedBeforeTheSwap = [&](const fs::path& path) {
        return std::find(diskEvents.begin(), swap, "flush " + path.string()) != swap;
    };
    EXPECT_TRUE(flushedBeforeTheSwap(incoming));
    int entries = 0;
    for (const auto& entry : fs::recursive_directory_iterator(installed)) {
        if (entry.is_symlink())
            continue; // recorded by its folder
        ++entries;
        EXPECT_TRUE(flushedBeforeTheSwap(incoming / entry.path().lexically_relative(installed)))
            << entry.path();
    }
    EXPECT_EQ(entries, 4); // bin, bin/VarnelMenuBar, share, share/version
    EXPECT_NE(std::find(swap, diskEvents.end(), "flush " + applications.string()), diskEvents.end());
}

TEST_F(AgentUpdaterInstallTest, AnImageWhoseApplicationFolderIsReadOnlyIsSwappedIn) {
    installOldRelease();
    auto entries = releaseBundle();
    entries[0] = folder("Varnel.app", 0555);
    writeImage(image, entries);
    if (::geteuid() != 0) {
        EXPECT_EQ(installFrom(image), installed);
    } else {
        // Root may move any folder; the permission an image's read-only folder lacks is checked
        // for everyone else, so the install runs as another user.
        for (const auto& entry : fs::recursive_directory_iterator(root.path()))
            ASSERT_EQ(::lchown(entry.path().c_str(), 65534, 65534), 0) << entry.path();
        ASSERT_EQ(::chown(root.path().c_str(), 65534, 65534), 0);
        const int status = runInChild([&] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                return 2;
            AgentLoop childLoop;
            childLoop.startThread();
            AgentUpdater updater(logger, nullptr, places());
            return childLoop.blockOn(updater.installFrom(image, "2.4.0")) == installed ? 0 : 3;
        });
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    expectNewRelease();
    EXPECT_EQ(permsOf(installed), perms(0755));
}

TEST(AgentUpdaterLocation, TheFolderHoldingTheProgramElseTheUsersApplications) {
    ScopedEnvironment home("HOME", "/home/someone");
    EXPECT_EQ(AgentUpdater::installedLocation("/opt/tools/Varnel.app/bin/VarnelMenuBar"),
              "/opt/tools/Varnel.app");
    EXPECT_EQ(AgentUpdater::installedLocation("/srv/Beta.app/bin/varnel-agent"), "/srv/Beta.app");
    for (const char* elsewhere :
         {"/usr/bin/varnel-agent", "/opt/Varnel.app/VarnelMenuBar", "/opt/Varnel.app/lib/bin/VarnelMenuBar",
          "/opt/Varnel/bin/VarnelMenuBar", ""}) {
        EXPECT_EQ(AgentUpdater::installedLocation(elsewhere), "/home/someone/Applications/Varnel.app")
            << elsewhere;
    }
    // The test program itself lives in no application folder.
    EXPECT_EQ(AgentUpdater::installedLocation(), "/home/someone/Applications/Varnel.app");
}

// A user the system knows no home folder for (no $HOME, no entry in the user database) has no
// folder of their own for Varnel.app: a folder in a shared one could have been made by another user
// first. The update is refused before anything is fetched, and a start's clean-up still runs.
TEST(AgentUpdaterLocation, WithoutAHomeFolderAnUpdateIsRefusedBeforeTheDownload) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "becoming a user without an entry needs root";
    constexpr uid_t unknownUser = 4000321;
    if (::getpwuid(unknownUser))
        GTEST_SKIP() << "user " << unknownUser << " exists here";
    TemporaryDataHome data;
    const std::string expected = "The update could not be installed. No home folder is set for this user, so "
                                 "there is no folder of this user's own to install it in.";
    // Each check's number is the child's exit status when it fails.
    const std::vector<std::string> checks = {"ok",
                                             "could not become the user",
                                             "installedLocation() gave a place",
                                             "installedLocation() said",
                                             "install() went on",
                                             "install() said",
                                             "install() made a request",
                                             "removeLeftovers() threw"};
    const int status = runInChild([&] {
        ::unsetenv("HOME");
        if (::setgroups(0, nullptr) != 0 || ::setgid(unknownUser) != 0 || ::setuid(unknownUser) != 0)
            return 1;
        try {
            std::fprintf(stderr, "%s\n", AgentUpdater::installedLocation().c_str());
            return 2;
        } catch (const Failure& failure) {
            if (failure.description() != expected)
                return 3;
        }
        auto transport = std::make_shared<FakeHttpTransport>();
        AgentLoop childLoop;
        childLoop.startThread();
        AgentUpdater updater(std::make_shared<RecordingLogger>(), transport);
        const VarnelAPIClient::AgentUpdate offer{"2.4.0", Url("https://updates.varnel.example/Varnel.dmg"),
                                                 std::nullopt, std::string(64, '0'), false};
        try {
            childLoop.blockOn(updater.install(offer, nullptr));
            return 4;
        } catch (const Failure& failure) {
            if (failure.description() != expected)
                return 5;
        }
        if (!transport->requests.empty())
            return 6;
        try {
            AgentUpdater::removeLeftovers();
        } catch (const std::exception&) {
            return 7;
        }
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    const auto code = static_cast<std::size_t>(WEXITSTATUS(status));
    EXPECT_EQ(code, 0u) << (code < checks.size() ? checks[code] : "exit " + std::to_string(code));
}

} // namespace
} // namespace varnel

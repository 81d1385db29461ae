// Installing from an update image: the installed folder swapped for the image's Varnel.app, and
// every refusal leaving the installed folder, the temporary folder and the image as they were.
#include "TemporaryDataHome.hpp"
#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Platform/FileTree.hpp"
#include "VarnelKit/Platform/UpdateImage.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnel {
namespace {

namespace fs = std::filesystem;
using namespace varnel::testing;
using Failure = AgentUpdater::Failure;
using fs::perms;

class AgentUpdaterInstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        loop.startThread();
        fs::create_directories(temporary);
        fs::create_directories(applications);
    }

    fs::path installFrom(const fs::path& from, std::string version = "2.4.0") {
        AgentUpdater updater(logger, nullptr, AgentUpdater::Places{installed, temporary, nullptr});
        return loop.blockOn(updater.installFrom(from, std::move(version)));
    }

    std::optional<Failure> failureOf(const fs::path& from) {
        return thrownBy<Failure>([&] { installFrom(from); });
    }

    // An installed folder from an earlier release, with a read-only part of its own.
    void installOldRelease() {
        fs::create_directories(installed / "bin");
        writeFile(installed / "bin" / "VarnelMenuBar", "old program");
        fs::create_directories(installed / "old-only");
        writeFile(installed / "old-only" / "notes", "from 2.3.0");
        fs::permissions(installed / "old-only", perms(0555));
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
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    AgentLoop loop;
};

TEST_F(AgentUpdaterInstallTest, ReplacesTheInstalledFolderKeepingModesAndLinks) {
    installOldRelease();
    writeImage(image, releaseBundle());
    EXPECT_EQ(installFrom(image), installed);

    expectNewRelease();
    EXPECT_FALSE(fs::exists(installed / "old-only"));
    // The old tree, the staged copy and the mount point are all gone; the image stays.
    EXPECT_EQ(temporaryNames(), std::vector<std::string>());
    EXPECT_EQ(std::distance(fs::directory_iterator(applications), fs::directory_iterator()), 1);
    EXPECT_TRUE(fs::exists(image));
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
    EXPECT_EQ(std::distance(fs::directory_iterator(applications), fs::directory_iterator()), 1);
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

TEST_F(AgentUpdaterInstallTest, AFailedReplacementSaysWhereTheImageIsAndRemovesTheStagedCopy) {
    // The installed location's parent is a file, so nothing can be put there.
    fs::remove_all(applications);
    writeFile(applications, "not a folder");
    writeImage(image, releaseBundle());
    const auto failure = failureOf(image);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Failure::Kind::couldNotInstall);
    EXPECT_TRUE(
        failure->detail().ends_with(" You may need to install it by hand from " + image.string() + "."))
        << failure->detail();
    EXPECT_EQ(temporaryNames(), std::vector<std::string>());
    EXPECT_EQ(readFile(applications), "not a folder");
}

TEST_F(AgentUpdaterInstallTest, TheSharedTemporaryFolderIsUsedOnlyThroughAPrivateFolder) {
    ScopedEnvironment tmpdir("TMPDIR", temporary.string());
    writeImage(image, releaseBundle());
    AgentUpdater updater(logger, nullptr, AgentUpdater::Places{installed, {}, nullptr});

    // Someone else's open folder of the expected name is not unpacked into.
    const fs::path privateFolder = temporary / ("varnel-user-" + std::to_string(::getuid()));
    fs::create_directory(privateFolder);
    fs::permissions(privateFolder, perms(0777));
    const auto refused = thrownBy<Failure>([&] { loop.blockOn(updater.installFrom(image, "2.4.0")); });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->description(), "The update could not be installed. Permission denied");
    EXPECT_FALSE(fs::exists(installed));

    fs::remove(privateFolder);
    EXPECT_EQ(loop.blockOn(updater.installFrom(image, "2.4.0")), installed);
    EXPECT_EQ(permsOf(privateFolder), perms(0700));
    EXPECT_TRUE(fs::is_empty(privateFolder));
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
        vanished = fs::path(first).parent_path() / "vanished";
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

TEST_F(AgentUpdaterInstallTest, WithoutAnExchangeTheOldFolderIsMovedAsideThenRemoved) {
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
        EXPECT_EQ(std::distance(fs::directory_iterator(applications), fs::directory_iterator()), 1);
    }
}

TEST_F(AgentUpdaterInstallTest, WithoutAnExchangeAFailedMoveInPutsTheOldFolderBack) {
    installOldRelease();
    writeImage(image, releaseBundle());
    std::optional<Failure> failure;
    {
        NoExchange noExchange(ENOTSUP, true);
        failure = failureOf(image);
        EXPECT_EQ(refusals, 1);
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Failure::Kind::couldNotInstall);
    EXPECT_NE(failure->detail().find("(No such file or directory)"), std::string::npos) << failure->detail();
    EXPECT_EQ(readFile(installed / "bin" / "VarnelMenuBar"), "old program");
    EXPECT_EQ(readFile(installed / "old-only" / "notes"), "from 2.3.0");
    EXPECT_EQ(std::distance(fs::directory_iterator(applications), fs::directory_iterator()), 1);
    FileTree::removeAll(vanished);
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

} // namespace
} // namespace varnel

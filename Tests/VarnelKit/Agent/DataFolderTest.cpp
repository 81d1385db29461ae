// The data folder's links and owners, as root finds them in a user's folder (sudo keeps the user's
// HOME) and as the user finds them in their own: what each reader follows, trusts, tightens and
// reads. Every read runs in a child process of its own, as that reader, with a time limit, so a
// read that would wait for ever (a pipe) or take all memory (a sparse file) ends as a finding.
#include "ForkedChild.hpp"
#include "TemporaryDataHome.hpp"
#include "VarnelKit/Agent/StoredEnrollment.hpp"

#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnel {
namespace {

namespace fs = std::filesystem;

constexpr uid_t user = 65534; // nobody

AgentSettings settingsFor(const std::string& server) {
    AgentSettings settings;
    settings.deviceId = 7;
    settings.deviceName = "Front Desk";
    settings.serverURL = *parseAbsoluteUrl(server);
    settings.reverb = ReverbSettings{"key", "ws.example", 443, "wss"};
    return settings;
}

void writeFile(const fs::path& path, const std::string& text, mode_t mode, uid_t owner) {
    {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    ASSERT_EQ(::chown(path.c_str(), owner, owner), 0);
}

// Hands a tree (links included, never followed) to `owner`.
void giveTo(const fs::path& tree, uid_t owner) {
    ASSERT_EQ(::lchown(tree.c_str(), owner, owner), 0);
    if (!fs::is_directory(fs::symlink_status(tree)))
        return;
    for (const auto& entry : fs::recursive_directory_iterator(tree))
        ASSERT_EQ(::lchown(entry.path().c_str(), owner, owner), 0);
}

// What `reader` finds stored below `dataHome`, in a child process that is that reader: "refused",
// or the server of the settings and the token found ("none" for either that is missing); "ended
// by signal N" for a read that did not end within 10 s, or took more memory than the limit allows.
std::string storedAs(uid_t reader, const fs::path& dataHome) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        return "no pipe";
    const int status = testing::runInChild([&] {
        ::close(pipe[0]);
        if (reader != ::geteuid() && (::setgid(reader) != 0 || ::setuid(reader) != 0))
            return 3;
        ::alarm(10);
#ifndef __SANITIZE_ADDRESS__
        // Far above what a read of the folder needs, far below a sparse file's gigabytes.
        const rlimit memory{512u << 20, 512u << 20};
        ::setrlimit(RLIMIT_AS, &memory);
#endif
        ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
        std::string found;
        try {
            const auto stored = StoredEnrollment::load(CredentialStore::deviceToken());
            found = (stored.settings ? std::string(stored.settings->serverURL.buffer()) : "none") + " " +
                    stored.token.value_or("none");
        } catch (const RefusedFile&) {
            found = "refused";
        }
        return ::write(pipe[1], found.data(), found.size()) == static_cast<ssize_t>(found.size()) ? 0 : 4;
    });
    ::close(pipe[1]);
    std::string text;
    char buffer[256];
    for (ssize_t got; (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(pipe[0]);
    if (WIFSIGNALED(status))
        return "ended by signal " + std::to_string(WTERMSIG(status));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "failed with status " + std::to_string(status);
    return text;
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

class DataFolderLinksTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "another user's folder needs root";
        fs::permissions(home.root(), fs::perms(0755));
        // Root's own enrollment, with its token, in root's own data folder.
        {
            testing::ScopedEnvironment rootsOwn("XDG_DATA_HOME", rootData.string());
            StoredEnrollment::save(CredentialStore::deviceToken(), "root-token", settingsFor("https://root.example"));
        }
        fs::create_directories(userData);
        ASSERT_EQ(::chown(userData.c_str(), user, user), 0);
    }

    // The user's own enrollment, as the user's programs would have stored it.
    void enrollUser(const fs::path& dataHome) {
        ASSERT_EQ(::chown(dataHome.c_str(), 0, 0), 0);
        testing::ScopedEnvironment usersOwn("XDG_DATA_HOME", dataHome.string());
        StoredEnrollment::save(CredentialStore::deviceToken(), "user-token", settingsFor("https://user.example"));
        giveTo(dataHome, user);
    }

    fs::path usersFolder() const { return userData / "Varnel"; }
    fs::path rootsToken() const {
        return rootData / "Varnel" / "Keychain" / "com.varnel.agent" / "device-token";
    }

    testing::TemporaryDataHome home;
    fs::path rootData = home.root() / "root-data";
    fs::path userData = home.root() / "user-data";
};

// Root follows no link of the user's to what root owns: not to root's own credential (which would
// then go to the server the user's settings name, and which root's log-out would delete), nor to
// a folder or file of root's that it would tighten and read.
TEST_F(DataFolderLinksTest, RootFollowsNoLinkOfTheUsersAndTightensNothingOfItsOwn) {
    enrollUser(userData);
    const fs::path keychain = usersFolder() / "Keychain";
    fs::remove_all(keychain);
    fs::create_directory_symlink(rootData / "Varnel" / "Keychain", keychain);
    giveTo(keychain, user);
    EXPECT_EQ(storedAs(0, userData), "refused") << "root's token went to the user's server";
    {
        testing::ScopedEnvironment usersHome("XDG_DATA_HOME", userData.string());
        const auto refused = testing::thrownBy<RefusedFile>(
            [] { (void)StoredEnrollment::load(CredentialStore::deviceToken()); });
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->description(), "Varnel will not use the credential in " +
                                              (keychain / "com.varnel.agent" / "device-token").string() + ": " +
                                              keychain.string() +
                                              " is a link, and Varnel follows no link in its folder. Remove it "
                                              "and enroll again.");
        EXPECT_THROW(StoredEnrollment::clear(CredentialStore::deviceToken()), Error);
    }
    EXPECT_TRUE(fs::exists(rootsToken())) << "root's log-out deleted root's own token through the link";

    // The data folder itself a link to a shared folder of root's, whose settings are a link to a
    // file of root's that anyone may change (as a device is).
    const fs::path shared = home.root() / "shared";
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const fs::path device = home.root() / "device";
    writeFile(device, json::dump(settingsFor("https://user.example").toJson()), 0666, 0);
    fs::create_symlink(device, shared / "settings.json");
    fs::remove_all(usersFolder());
    fs::create_directory_symlink(shared, usersFolder());
    giveTo(usersFolder(), user);
    EXPECT_EQ(storedAs(0, userData), "refused");
    EXPECT_EQ(modeOf(shared), 01777u) << "root tightened a shared folder through the user's link";
    EXPECT_EQ(modeOf(device), 0666u) << "root tightened its own file through the user's links";

    // The settings a link to a file of root's.
    fs::remove(usersFolder());
    enrollUser(userData);
    const fs::path rootsFile = home.root() / "roots-file";
    writeFile(rootsFile, json::dump(settingsFor("https://root-file.example").toJson()), 0644, 0);
    fs::remove(usersFolder() / "settings.json");
    fs::create_symlink(rootsFile, usersFolder() / "settings.json");
    giveTo(usersFolder() / "settings.json", user);
    EXPECT_EQ(storedAs(0, userData), "refused") << "root read its own file through the user's link";
}

// Each reader trusts only what the folder's owner owns, follows no link inside the folder, and
// reads only a regular file of a bounded size; a data folder that is a link is used where the
// link and its target have one owner.
TEST_F(DataFolderLinksTest, WhatEachReaderTrustsFollowsAndReads) {
    struct Case {
        std::string name;
        std::function<void()> arrange;
        std::string byRoot, byUser;
    };
    const auto settingsFile = [this] { return usersFolder() / "settings.json"; };
    const std::vector<Case> cases{
        {"the user's own enrollment", [] {}, "https://user.example user-token", "https://user.example user-token"},
        {"a file of root's in the user's folder",
         [&] { ASSERT_EQ(::chown(settingsFile().c_str(), 0, 0), 0); }, "refused", "refused"},
        {"a link in the user's folder to the user's own file",
         [&] {
             const fs::path elsewhere = home.root() / "users-file";
             fs::rename(settingsFile(), elsewhere);
             fs::create_symlink(elsewhere, settingsFile());
             giveTo(settingsFile(), user);
         },
         "refused", "refused"},
        {"a pipe in the settings' place",
         [&] {
             fs::remove(settingsFile());
             ASSERT_EQ(::mkfifo(settingsFile().c_str(), 0600), 0);
             giveTo(settingsFile(), user);
         },
         "refused", "refused"},
        {"a sparse settings file of 64 GiB",
         [&] {
             const int file = ::open(settingsFile().c_str(), O_WRONLY | O_CLOEXEC);
             ASSERT_GE(file, 0);
             EXPECT_EQ(::ftruncate(file, off_t(64) << 30), 0);
             ::close(file);
         },
         "refused", "refused"},
        {"the data folder a link of the user's to a folder of their own",
         [&] {
             const fs::path elsewhere = home.root() / "users-folder";
             fs::rename(usersFolder(), elsewhere);
             fs::create_directory_symlink(elsewhere, usersFolder());
             giveTo(usersFolder(), user);
         },
         "https://user.example user-token", "https://user.example user-token"},
    };
    for (const auto& c : cases) {
        fs::remove_all(usersFolder());
        for (const auto& left : {home.root() / "users-file", home.root() / "users-folder"})
            fs::remove_all(left);
        enrollUser(userData);
        ASSERT_NO_FATAL_FAILURE(c.arrange()) << c.name;
        EXPECT_EQ(storedAs(0, userData), c.byRoot) << c.name << ", read by root";
        EXPECT_EQ(storedAs(user, userData), c.byUser) << c.name << ", read by the user";
    }
}

} // namespace
} // namespace varnel

#include "VarnelKit/Agent/StoredEnrollment.hpp"

#include "ForkedChild.hpp"
#include "TemporaryDataHome.hpp"
#include "TemporaryTmpfs.hpp"
#include "VarnelKit/Agent/DataFolder.hpp"
#include "VarnelKit/Platform/Keychain.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace varnel {
namespace {

namespace fs = std::filesystem;
using Step = StoredEnrollment::Step;

// One server's enrollment: its settings and the token it issued.
struct Enrolled {
    AgentSettings settings;
    std::string token;
};

Enrolled enrolledWith(const std::string& server, std::int64_t deviceId) {
    return {AgentSettings{deviceId, "Desk " + server, *parseAbsoluteUrl("https://" + server + ".example"),
                          ReverbSettings{"key-" + server, "ws." + server + ".example", 443, "wss"}},
            "token-of-" + server};
}

constexpr int stoppedCode = 42;
Step stopAt = Step::pendingWritten;

// Ends the process the moment the step is durable, as a crash or a power cut there would.
void stopHere(Step done) {
    if (done == stopAt)
        ::_exit(stoppedCode);
}

class StoredEnrollmentTest : public ::testing::Test {
protected:
    // Runs `body` in a child that stops right after `step`; true when it did stop there.
    static bool stoppedAfter(Step step, const std::function<void()>& body) {
        stopAt = step;
        const int status = testing::runInChild([&body] {
            StoredEnrollment::setStepHook(&stopHere);
            body();
            return 0;
        });
        return WIFEXITED(status) && WEXITSTATUS(status) == stoppedCode;
    }

    static void expectStored(const Enrolled& expected, const std::string& when) {
        const auto stored = StoredEnrollment::load(CredentialStore::deviceToken());
        EXPECT_TRUE(stored.settings == expected.settings)
            << when << ": settings of " << (stored.settings ? stored.settings->deviceName : "none");
        EXPECT_EQ(brief(stored.token), brief(expected.token)) << when;
    }

    // A token as a failure shows it: some tokens here are thousands of characters long.
    static std::string brief(const std::optional<std::string>& token) {
        if (!token)
            return "none";
        return token->size() > 20 ? token->substr(0, 12) + "... (" + std::to_string(token->size()) + " bytes)"
                                  : *token;
    }

    bool pendingLeft() const {
        return fs::exists(Keychain::itemPath("com.varnel.agent", "device-token.pending"));
    }
    CredentialStore pendingItem() const { return CredentialStore{store.service, store.account + ".pending"}; }

    // The files under `folder`, relative to it, in order.
    static std::vector<std::string> filesIn(const fs::path& folder) {
        std::vector<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            if (entry.is_regular_file())
                files.push_back(fs::relative(entry.path(), folder).string());
        std::sort(files.begin(), files.end());
        return files;
    }

    // Everything under `folder` a reader could change: each entry with its owner, mode and
    // contents.
    static std::vector<std::string> everythingIn(const fs::path& folder) {
        std::vector<std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            struct stat info {};
            ::lstat(entry.path().c_str(), &info);
            std::string line = fs::relative(entry.path(), folder).string() + " " +
                               std::to_string(info.st_uid) + " " + std::to_string(info.st_mode);
            if (entry.is_regular_file()) {
                std::ifstream file(entry.path(), std::ios::binary);
                line += " " + std::string(std::istreambuf_iterator<char>(file), {});
            }
            entries.push_back(std::move(line));
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    }

    // Another user, whose folder root may read.
    static constexpr uid_t user = 65534;

    testing::TemporaryDataHome home;
    const CredentialStore store = CredentialStore::deviceToken();
    const Enrolled a = enrolledWith("a", 11);
    const Enrolled b = enrolledWith("b", 22);
};

TEST_F(StoredEnrollmentTest, SavedTogetherLoadTogetherAndLeaveTheFormatsAsTheyWere) {
    EXPECT_EQ(StoredEnrollment::load(store).settings, std::nullopt);
    StoredEnrollment::save(store, a.token, a.settings);
    StoredEnrollment::save(store, b.token, b.settings);
    expectStored(b, "after two saves");
    // What the other program and older files rely on: the token item holds the token alone.
    EXPECT_EQ(store.load(), b.token);
    EXPECT_EQ(AgentSettings::load(), b.settings);
    EXPECT_FALSE(pendingLeft());
}

// A stop after each step of a save leaves the old enrollment or the new one, each whole, for every
// reader after it; and the next enrollment then works as usual. So it does when the save before it
// could not write its token (a nearly full disk) and left it waiting in the pending item, the only
// copy of the token that goes with the settings: the next save puts it in its place first, or,
// while the disk is still too full for that, fails with the reason before it changes anything.
TEST_F(StoredEnrollmentTest, AStopAfterAnyStepLeavesOneWholeEnrollment) {
    struct Case {
        std::string name;
        Step stop;
        bool newOneStands;
        // The token item on disk before anyone reads: after the commit point it may still be the
        // old one, which only the settling of the pending item puts right.
        bool oldTokenOnDisk;
    };
    const std::vector<Case> cases{
        {"pending item written", Step::pendingWritten, false, true},
        {"settings written", Step::settingsWritten, true, true},
        {"token written", Step::tokenWritten, true, false},
        {"pending item removed", Step::pendingRemoved, true, false},
    };
    enum class Before { whole, waitingOnAFullDisk, waitingWithRoomAgain };
    const std::vector<std::pair<Before, std::string>> befores{
        {Before::whole, "the old one whole"},
        {Before::waitingOnAFullDisk, "the old token waiting, the disk still full"},
        {Before::waitingWithRoomAgain, "the old token waiting, room again"},
    };
    testing::TemporaryTmpfs disk("256k");
    const testing::ScopedEnvironment onDisk("XDG_DATA_HOME", disk.path().string());
    // Too long to fit where its pending item did.
    const Enrolled old{a.settings, std::string(5000, 'a')};
    const auto filler = disk.path() / "filler";

    for (const auto& [before, told] : befores) {
        if (before != Before::whole && !disk.mounted())
            continue;
        for (const auto& c : cases) {
            const std::string name = told + ", " + c.name;
            StoredEnrollment::clear(store);
            fs::remove(filler);
            if (before == Before::whole) {
                StoredEnrollment::save(store, old.token, old.settings);
            } else {
                // Room for the pending item and the settings, not for the token's own item.
                ASSERT_NO_FATAL_FAILURE(testing::fillLeaving(disk.path(), 4)) << name;
                StoredEnrollment::save(store, old.token, old.settings);
                ASSERT_TRUE(pendingLeft()) << name;
                ASSERT_EQ(store.load(), std::nullopt) << name;
                if (before == Before::waitingWithRoomAgain)
                    fs::remove(filler);
            }

            if (before == Before::waitingOnAFullDisk) {
                stopAt = c.stop;
                const int status = testing::runInChild([this] {
                    StoredEnrollment::setStepHook(&stopHere);
                    try {
                        StoredEnrollment::save(store, b.token, b.settings);
                    } catch (const CredentialStore::StoreError& error) {
                        return error.description() == "Keychain error 28: No space left on device" ? 0 : 1;
                    }
                    return 2;
                });
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                    << name << ": the save fails with why";
                expectStored(old, name + ", read on the full disk");
                EXPECT_TRUE(pendingLeft()) << name;
                fs::remove(filler);
                expectStored(old, name + ", read with room again");
            } else {
                ASSERT_TRUE(stoppedAfter(c.stop, [this] {
                    StoredEnrollment::save(store, b.token, b.settings);
                })) << name;
                // With room again, the save first moves the waiting token into place, through the
                // same two steps as its own; a stop after them leaves the old enrollment settled.
                const bool whileSettling = before == Before::waitingWithRoomAgain &&
                                           (c.stop == Step::tokenWritten || c.stop == Step::pendingRemoved);
                EXPECT_EQ(brief(store.load()), brief(c.oldTokenOnDisk || whileSettling ? old.token : b.token))
                    << name;
                const Enrolled& standing = c.newOneStands && !whileSettling ? b : old;
                expectStored(standing, name);
                EXPECT_EQ(brief(store.load()), brief(standing.token))
                    << name << ": the token is in its place";
                expectStored(standing, name + ", read again");
            }
            EXPECT_FALSE(pendingLeft()) << name;

            const Enrolled next = enrolledWith("c", 33);
            StoredEnrollment::save(store, next.token, next.settings);
            expectStored(next, name + ", then enrolled again");
        }
    }
    if (!disk.mounted())
        GTEST_SKIP() << "the rows of a token left waiting by a full disk need root, to mount a small tmpfs";
}

// A reader that settles a committed save and is stopped itself after moving the token leaves it
// still to settle, never undone.
TEST_F(StoredEnrollmentTest, AReaderStoppedWhileSettlingLeavesTheNewEnrollment) {
    StoredEnrollment::save(store, a.token, a.settings);
    ASSERT_TRUE(
        stoppedAfter(Step::settingsWritten, [this] { StoredEnrollment::save(store, b.token, b.settings); }));
    ASSERT_TRUE(stoppedAfter(Step::tokenWritten, [this] { (void)StoredEnrollment::load(store); }));
    ASSERT_TRUE(pendingLeft());
    expectStored(b, "after the reader stopped");
    EXPECT_FALSE(pendingLeft());
}

TEST_F(StoredEnrollmentTest, ClearingRemovesAHalfDoneSaveToo) {
    StoredEnrollment::save(store, a.token, a.settings);
    ASSERT_TRUE(
        stoppedAfter(Step::settingsWritten, [this] { StoredEnrollment::save(store, b.token, b.settings); }));
    ASSERT_TRUE(pendingLeft());
    StoredEnrollment::clear(store);
    const auto stored = StoredEnrollment::load(store);
    EXPECT_EQ(stored.settings, std::nullopt);
    EXPECT_EQ(stored.token, std::nullopt);
    const auto items = Keychain::itemPath(store.service, store.account).parent_path();
    EXPECT_EQ(std::distance(fs::directory_iterator(items), fs::directory_iterator()), 0);
    StoredEnrollment::clear(store);
}

// A write stopped just before its rename (a kill) leaves its temporary file beside its target,
// holding what it was writing: for the token's items, a token.
TEST_F(StoredEnrollmentTest, TheTemporaryFilesOfAStoppedWriteGoAtLogOutAndAtTheNextSave) {
    const auto leaveTemporaries = [this] {
        for (const auto& target : {store.file(), pendingItem().file(), AgentSettings::fileURL()})
            std::ofstream(target.parent_path() / ("." + target.filename().string() + ".tmp-4242")) << b.token;
    };
    StoredEnrollment::save(store, a.token, a.settings);
    leaveTemporaries();
    StoredEnrollment::clear(store);
    EXPECT_EQ(filesIn(home.varnel()), std::vector<std::string>{}) << "after logging out";

    StoredEnrollment::save(store, a.token, a.settings);
    leaveTemporaries();
    StoredEnrollment::save(store, b.token, b.settings);
    EXPECT_EQ(filesIn(home.varnel()),
              (std::vector<std::string>{"Keychain/com.varnel.agent/device-token", "settings.json"}))
        << "after the next save";
    expectStored(b, "after the next save");
}

// Saves and readings in many processes at once: every save succeeds whole, so none takes another's
// temporary file for one a stopped write left, and every reading gives settings with their token.
TEST_F(StoredEnrollmentTest, ManyProcessesSavingAndReadingAtOnceSeeWholeEnrollments) {
    constexpr int processes = 8;
    constexpr int rounds = 25;
    StoredEnrollment::save(store, a.token, a.settings);
    std::fflush(nullptr);
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child > 0) {
            children.push_back(child);
            continue;
        }
        int code = 0;
        try {
            for (int r = 0; r < rounds && code == 0; ++r) {
                const Enrolled mine =
                    enrolledWith("p" + std::to_string(p) + "r" + std::to_string(r), p * rounds + r);
                StoredEnrollment::save(store, mine.token, mine.settings);
                const auto stored = StoredEnrollment::load(store);
                // Whoever saved last, its token goes with its settings ("Desk <server>").
                if (!stored.settings || stored.token != "token-of-" + stored.settings->deviceName.substr(5))
                    code = 1;
            }
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            code = 2;
        }
        ::_exit(code);
    }
    for (const pid_t child : children) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    EXPECT_EQ(filesIn(home.varnel()),
              (std::vector<std::string>{"Keychain/com.varnel.agent/device-token", "settings.json"}));
}

// Root reading a user's folder (as sudo with the user's HOME does) writes nothing there, not even
// to settle a committed save: it takes the waiting token from the pending item as it is. The
// user's own reading settles it, into items that stay the user's.
TEST_F(StoredEnrollmentTest, AReaderThatDoesNotOwnTheFolderWritesNothingThere) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "reading another user's folder needs root";
    StoredEnrollment::save(store, a.token, a.settings);
    ASSERT_TRUE(
        stoppedAfter(Step::settingsWritten, [this] { StoredEnrollment::save(store, b.token, b.settings); }));
    fs::permissions(home.root(), fs::perms(0755));
    for (const auto& entry : fs::recursive_directory_iterator(home.varnel()))
        ASSERT_EQ(::lchown(entry.path().c_str(), user, user), 0);
    ASSERT_EQ(::chown(home.varnel().c_str(), user, user), 0);
    const auto before = everythingIn(home.varnel());

    expectStored(b, "read by root");
    EXPECT_EQ(everythingIn(home.varnel()), before) << "root changed nothing";

    const int status = testing::runInChild([this] {
        if (::setgid(user) != 0 || ::setuid(user) != 0)
            return 3;
        const auto stored = StoredEnrollment::load(store);
        return stored.settings == b.settings && stored.token == b.token ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the user reads B whole";
    EXPECT_FALSE(pendingLeft());
    EXPECT_EQ(store.load(), b.token);
    struct stat item {};
    ASSERT_EQ(::stat(store.file().c_str(), &item), 0);
    EXPECT_EQ(item.st_uid, user);
}

// A token item that others could read or change is made private before it is used; one that
// someone else owns is refused with the reason, and left as it is.
TEST_F(StoredEnrollmentTest, ATokenItemOthersCanReachIsMadePrivateOrRefused) {
    struct Case {
        std::string name;
        bool pending; // the item of a committed save that waits to be settled, else the token's own
        mode_t mode;
        uid_t owner;
        std::optional<DataFolder::Refused::Reason> refused;
    };
    const std::vector<Case> cases{
        {"a token others may read", false, 0644, 0, std::nullopt},
        {"a token others may change", false, 0622, 0, std::nullopt},
        {"a token of another user", false, 0600, user, DataFolder::Refused::Reason::anotherOwner},
        {"a waiting token of another user", true, 0600, user, DataFolder::Refused::Reason::anotherOwner},
    };
    for (const auto& c : cases) {
        StoredEnrollment::clear(store);
        StoredEnrollment::save(store, a.token, a.settings);
        if (c.pending) {
            ASSERT_TRUE(stoppedAfter(Step::settingsWritten,
                                     [this] { StoredEnrollment::save(store, b.token, b.settings); }));
        }
        const fs::path item = c.pending ? pendingItem().file() : store.file();
        fs::permissions(item, fs::perms(c.mode));
        if (c.owner != ::geteuid() && ::chown(item.c_str(), c.owner, c.owner) != 0)
            continue; // not root: no one else's file to make
        const Enrolled& standing = c.pending ? b : a;
        if (!c.refused) {
            expectStored(standing, c.name);
            EXPECT_EQ(testing::modeOf(store.file()), 0600u) << c.name;
            continue;
        }
        const auto before = everythingIn(home.varnel());
        const auto refused =
            testing::thrownBy<DataFolder::Refused>([this] { (void)StoredEnrollment::load(store); });
        ASSERT_TRUE(refused) << c.name;
        EXPECT_EQ(refused->reason(), *c.refused) << c.name;
        EXPECT_EQ(refused->description(),
                  "Varnel will not use the credential in " + item.string() +
                      ": it belongs to nobody, not to root, who owns the Varnel folder. "
                      "Enroll again to replace it.")
            << c.name;
        EXPECT_EQ(everythingIn(home.varnel()), before) << c.name << ": nothing changed";
        // Enrolling again replaces it.
        StoredEnrollment::save(store, a.token, a.settings);
        expectStored(a, c.name + ", enrolled again");
    }
}

// A pending item that names no settings that were written (a save stopped early, or a damaged
// item) is dropped, and the enrollment before it is read as it is.
TEST_F(StoredEnrollmentTest, APendingItemForOtherSettingsIsDropped) {
    StoredEnrollment::save(store, a.token, a.settings);
    const CredentialStore pending{store.service, store.account + ".pending"};
    for (const std::string& text :
         {std::string("{\"token\":\"token-of-b\"}"), std::string("not json"),
          R"({"token":"token-of-b","settings":)" + json::dump(b.settings.toJson()) + "}"}) {
        pending.save(text);
        expectStored(a, text);
        EXPECT_FALSE(pendingLeft()) << text;
    }
}

} // namespace
} // namespace varnel

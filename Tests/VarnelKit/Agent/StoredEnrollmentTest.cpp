#include "VarnelKit/Agent/StoredEnrollment.hpp"

#include "ForkedChild.hpp"
#include "TemporaryDataHome.hpp"
#include "VarnelKit/Platform/Keychain.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
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
        EXPECT_EQ(stored.settings, expected.settings) << when;
        EXPECT_EQ(stored.token, expected.token) << when;
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
// reader after it; and the next enrollment then works as usual.
TEST_F(StoredEnrollmentTest, AStopAfterAnyStepLeavesOneWholeEnrollment) {
    struct Case {
        std::string name;
        Step stop;
        bool newOneStands;
        // The token item on disk before anyone reads: after the commit point it may still be the
        // old one, which only the settling of the pending item puts right.
        std::string tokenOnDisk;
    };
    const std::vector<Case> cases{
        {"pending item written", Step::pendingWritten, false, a.token},
        {"settings written", Step::settingsWritten, true, a.token},
        {"token written", Step::tokenWritten, true, b.token},
        {"pending item removed", Step::pendingRemoved, true, b.token},
    };
    for (const auto& c : cases) {
        StoredEnrollment::clear(store);
        StoredEnrollment::save(store, a.token, a.settings);
        ASSERT_TRUE(stoppedAfter(c.stop, [this] { StoredEnrollment::save(store, b.token, b.settings); }))
            << c.name;
        EXPECT_EQ(store.load(), c.tokenOnDisk) << c.name;

        const Enrolled& standing = c.newOneStands ? b : a;
        expectStored(standing, c.name);
        EXPECT_FALSE(pendingLeft()) << c.name;
        EXPECT_EQ(store.load(), standing.token) << c.name << ": the token is in its place";
        expectStored(standing, c.name + ", read again");

        const Enrolled next = enrolledWith("c", 33);
        StoredEnrollment::save(store, next.token, next.settings);
        expectStored(next, c.name + ", then enrolled again");
    }
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

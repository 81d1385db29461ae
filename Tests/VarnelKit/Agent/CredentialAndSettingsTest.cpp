#include "ForkedChild.hpp"
#include "TemporaryDataHome.hpp"

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/DataFolder.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Platform/Keychain.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

namespace varnel {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Writes beyond `bytes` fail with EFBIG while the object lives (root is not exempt).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit tight = previous_;
        tight.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &tight);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    void (*handler_)(int);
    rlimit previous_{};
};

class CredentialStoreTest : public ::testing::Test {
protected:
    testing::TemporaryDataHome home;
    CredentialStore store{"com.varnel.agent", "device-token"};
    fs::path item = Keychain::itemPath("com.varnel.agent", "device-token");
};

TEST_F(CredentialStoreTest, SavingTwiceKeepsOnlyTheSecondTokenPrivately) {
    EXPECT_EQ(store.load(), std::nullopt);
    store.save("first");
    store.save("second-token");
    EXPECT_EQ(store.load(), "second-token");
    EXPECT_EQ(readFile(item), "second-token");
    EXPECT_EQ(item, home.varnel() / "Keychain" / "com.varnel.agent" / "device-token");
    EXPECT_EQ(testing::modeOf(item), 0600u);
    EXPECT_EQ(testing::modeOf(item.parent_path()), 0700u);
    EXPECT_EQ(testing::modeOf(home.varnel() / "Keychain"), 0700u);
    // Only the item is left in its folder: no temporary files.
    EXPECT_EQ(std::distance(fs::directory_iterator(item.parent_path()), fs::directory_iterator()), 1);

    store.deleteItem();
    EXPECT_EQ(store.load(), std::nullopt);
    store.deleteItem();
}

TEST_F(CredentialStoreTest, ItemsAreKeyedByServiceAndAccount) {
    CredentialStore other{"com.varnel.agent", "../device-token"};
    other.save("elsewhere");
    store.save("mine");
    EXPECT_EQ(other.load(), "elsewhere");
    EXPECT_EQ(store.load(), "mine");
    EXPECT_EQ(Keychain::itemPath("a/b", ".").filename(), "%2E");
    EXPECT_EQ(Keychain::itemPath("a/b", ".").parent_path().filename(), "a%2Fb");
}

TEST_F(CredentialStoreTest, LoadIsNoneForBytesThatAreNotText) {
    store.save("ok");
    writeFile(item, std::string("\xC3\x28", 2));
    EXPECT_EQ(store.load(), std::nullopt);
}

TEST_F(CredentialStoreTest, ASaveThatCannotCreateItsFolderFailsWithTheSystemSentence) {
    writeFile(home.varnel() / "Keychain", "not a folder");
    const auto error = testing::thrownBy<CredentialStore::StoreError>([this] { store.save("token"); });
    EXPECT_EQ(error.value().status(), ENOTDIR);
    EXPECT_EQ(error.value().description(), "Keychain error 20: Not a directory");
    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_EQ(CredentialStore::StoreError::keychain(-42).description(), "Keychain error -42: unknown");
}

TEST_F(CredentialStoreTest, AFailedSaveKeepsTheTokenStoredBefore) {
    store.save("old-token");
    {
        FileSizeLimit limit(4);
        const auto error =
            testing::thrownBy<CredentialStore::StoreError>([this] { store.save("a-token-longer-than-the-limit"); });
        EXPECT_EQ(error.value().status(), EFBIG);
    }
    EXPECT_EQ(store.load(), "old-token");
    EXPECT_EQ(std::distance(fs::directory_iterator(item.parent_path()), fs::directory_iterator()), 1);
}

class AgentSettingsTest : public ::testing::Test {
protected:
    testing::TemporaryDataHome home;
    AgentSettings sample{42, "Front desk", Url("https://print.example:8443"), {"key", "ws.example", 443, "https"}};
};

TEST_F(AgentSettingsTest, SavedSettingsLoadBackAndUseCamelCaseKeys) {
    EXPECT_EQ(AgentSettings::fileURL(), home.varnel() / "settings.json");
    EXPECT_EQ(AgentSettings::load(), std::nullopt);
    sample.save();
    EXPECT_EQ(AgentSettings::load(), sample);
    EXPECT_EQ(readFile(AgentSettings::fileURL()),
              R"({"deviceId":42,"deviceName":"Front desk","serverURL":"https://print.example:8443",)"
              R"("reverb":{"key":"key","host":"ws.example","port":443,"scheme":"https"}})");

    sample.deviceName = "Back office";
    sample.save();
    EXPECT_EQ(AgentSettings::load()->deviceName, "Back office");
    EXPECT_EQ(std::distance(fs::directory_iterator(home.varnel()), fs::directory_iterator()), 1);

    AgentSettings::clear();
    EXPECT_EQ(AgentSettings::load(), std::nullopt);
    AgentSettings::clear();
}

TEST_F(AgentSettingsTest, DamagedFilesLoadAsNoneAndExtraKeysAreIgnored) {
    const std::string reverb = R"("reverb":{"key":"k","host":"h","port":1,"scheme":"https"})";
    const auto loads = [](const std::string& text) {
        writeFile(AgentSettings::fileURL(), text);
        return AgentSettings::load().has_value();
    };
    EXPECT_TRUE(loads(R"({"deviceId":1,"deviceName":"n","serverURL":"https://s.example",)" + reverb + R"(,"extra":[1]})"));
    EXPECT_FALSE(loads(R"({"deviceId":"1","deviceName":"n","serverURL":"https://s.example",)" + reverb + "}"));
    EXPECT_FALSE(loads(R"({"deviceId":1,"deviceName":"n","serverURL":"https://s.example"})"));
    EXPECT_FALSE(loads(R"({"deviceId":1,"deviceName":"n","serverURL":"https://s.example","reverb":{"key":"k","host":"h","scheme":"https"}})"));
    EXPECT_FALSE(loads(R"({"deviceId":1,"deviceName":"n","serverURL":"not a url",)" + reverb + "}"));
    EXPECT_FALSE(loads(R"({"deviceId":1,"deviceName":"n","serverURL":"https://s.example:44x",)" + reverb + "}"));
    EXPECT_FALSE(loads(R"({"deviceId":1,"deviceName":null,"serverURL":"https://s.example",)" + reverb + "}"));
    EXPECT_FALSE(loads("{"));
    EXPECT_FALSE(loads(""));
    EXPECT_FALSE(loads("[]"));
}

// Whoever can write the file must not be able to have the token sent in the clear, or to a server
// of their own: a file that breaks the enrollment's rules, or that someone other than the folder's
// owner can have changed, is refused with the reason, and left exactly as it is. What the owner
// finds open to others is made private and used.
TEST_F(AgentSettingsTest, AFileThatBreaksTheEnrollmentsRulesIsRefusedAndLeftAlone) {
    using Breach = AgentSettings::Breach;
    const auto file = [](const std::string& server, const std::string& host, const std::string& scheme) {
        return R"({"deviceId":1,"deviceName":"n","serverURL":")" + server + R"(","reverb":{"key":"k","host":")" + host +
               R"(","port":80,"scheme":")" + scheme + R"("}})";
    };
    const std::string path = AgentSettings::fileURL().string();
    struct Case {
        std::string text;
        std::optional<Breach> breach;
        std::string reason;
    };
    const std::vector<Case> cases{
        {file("http://s.example", "ws.example", "wss"), Breach::serverNotHttps,
         "Varnel will not use the settings in " + path +
             ": the server address \"http://s.example\" is not https, so this Mac's credential would cross the "
             "network in the clear. Enroll again to replace them."},
        {file("HTTP://127.0.0.1:8000", "127.0.0.1", "ws"), Breach::serverNotHttps, ""},
        {file("https:s.example", "ws.example", "wss"), Breach::serverNotHttps, ""},
        {file("https://s.example", "ws.example", "ws"), Breach::realtimeUnencrypted,
         "Varnel will not use the settings in " + path +
             ": they ask for an unencrypted realtime connection to \"ws.example\". Enroll again to replace them."},
        // What enrollment accepts loads.
        {file("HTTPS://s.example:8443/base", "ws.example", "wss"), std::nullopt, ""},
        {file("https://s.example", "127.0.0.1", "ws"), std::nullopt, ""},
    };
    for (const auto& c : cases) {
        writeFile(AgentSettings::fileURL(), c.text);
        if (!c.breach) {
            EXPECT_TRUE(AgentSettings::load().has_value()) << c.text;
            continue;
        }
        const auto refused = testing::thrownBy<AgentSettings::Refused>([] { (void)AgentSettings::load(); });
        ASSERT_TRUE(refused) << c.text;
        EXPECT_EQ(refused->breach(), *c.breach) << c.text;
        if (!c.reason.empty()) {
            EXPECT_EQ(refused->description(), c.reason);
        }
        EXPECT_EQ(readFile(AgentSettings::fileURL()), c.text);
    }
    // A value that would drive the terminal stays quoted text.
    writeFile(AgentSettings::fileURL(), file("https://s.example", "ws.example\\u001b[2J", "ws"));
    const auto refused = testing::thrownBy<AgentSettings::Refused>([] { (void)AgentSettings::load(); });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->description().find('\x1b'), std::string::npos);
    EXPECT_NE(refused->description().find(R"(to "ws.example\u{1b}[2J".)"), std::string::npos) << refused->description();

    const uid_t me = ::geteuid();
    const uid_t other = 65534; // nobody
    const std::string folder = home.varnel().string();
    struct Access {
        std::string name;
        mode_t folderMode, fileMode;
        uid_t folderOwner, fileOwner;
        uid_t reader;        // this process, or another user who is not root
        std::string refusal; // empty: the file loads
        mode_t folderAfter, fileAfter;
    };
    const std::vector<Access> accesses{
        {"a folder others may change", 0777, 0600, me, me, me, "", 0700, 0600},
        {"a file others may change", 0700, 0666, me, me, me, "", 0700, 0600},
        {"a file others may read", 0700, 0644, me, me, me, "", 0700, 0644},
        {"a file of another user", 0700, 0600, me, other, me,
         "Varnel will not use the settings in " + path +
             ": it belongs to nobody, not to root, who owns the Varnel folder. Enroll again to replace it.",
         0700, 0600},
        // Root reads a user's folder as it is, and changes nothing in it.
        {"root reading a user's folder", 0700, 0600, other, other, me, "", 0700, 0600},
        {"root reading a user's folder that others may change", 0777, 0600, other, other, me,
         "Varnel will not use its folder " + folder +
             ": users other than its owner, nobody, may change it. Run Varnel once as nobody, which makes it "
             "private.",
         0777, 0600},
        {"root reading a user's file that others may change", 0700, 0666, other, other, me,
         "Varnel will not use the settings in " + path +
             ": users other than its owner, nobody, may change it. Run Varnel once as nobody, which makes it "
             "private.",
         0700, 0666},
        {"a user who is not root reading root's folder", 0755, 0644, me, me, other,
         "Varnel will not use its folder " + folder + ": it belongs to another user, root. Run Varnel as root.",
         0755, 0644},
    };
    const std::string valid = file("https://s.example", "ws.example", "wss");
    fs::permissions(home.root(), fs::perms(0755));
    for (const auto& c : accesses) {
        if (me != 0 && (c.folderOwner != me || c.fileOwner != me || c.reader != me))
            continue; // only root can make another user's files, or be another user
        writeFile(AgentSettings::fileURL(), valid);
        ASSERT_EQ(::chown(AgentSettings::fileURL().c_str(), c.fileOwner, c.fileOwner), 0);
        ASSERT_EQ(::chown(folder.c_str(), c.folderOwner, c.folderOwner), 0);
        fs::permissions(AgentSettings::fileURL(), fs::perms(c.fileMode));
        fs::permissions(home.varnel(), fs::perms(c.folderMode));

        if (c.reader != me) {
            const int status = testing::runInChild([&c] {
                if (::setgid(c.reader) != 0 || ::setuid(c.reader) != 0)
                    return 3;
                try {
                    (void)AgentSettings::load();
                } catch (const DataFolder::Refused& refused) {
                    return refused.description() == c.refusal ? 0 : 1;
                }
                return 2;
            });
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.name;
        } else if (c.refusal.empty()) {
            EXPECT_TRUE(AgentSettings::load().has_value()) << c.name;
        } else {
            const auto refused = testing::thrownBy<DataFolder::Refused>([] { (void)AgentSettings::load(); });
            ASSERT_TRUE(refused) << c.name;
            EXPECT_EQ(refused->description(), c.refusal) << c.name;
        }
        EXPECT_EQ(testing::modeOf(home.varnel()), c.folderAfter) << c.name;
        EXPECT_EQ(testing::modeOf(AgentSettings::fileURL()), c.fileAfter) << c.name;
        struct stat info {};
        ASSERT_EQ(::stat(AgentSettings::fileURL().c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, c.fileOwner) << c.name;
        EXPECT_EQ(readFile(AgentSettings::fileURL()), valid) << c.name;
        ASSERT_EQ(::chown(folder.c_str(), me, me), 0);
    }
}

// Another local user must not be able to change the file or the folder, whatever the umask the
// programs run under; a folder made wider before (by an older version, or the log) is tightened
// when the enrollment is written into it.
TEST_F(AgentSettingsTest, TheFolderAndTheFileAreOnlyTheUsersWhateverTheUmask) {
    struct Umask {
        explicit Umask(mode_t mask) : previous(::umask(mask)) {}
        ~Umask() { ::umask(previous); }
        mode_t previous;
    } anyoneMay(0);
    const auto expectPrivate = [](const std::string& when) {
        EXPECT_EQ(testing::modeOf(AgentSettings::fileURL().parent_path()), 0700u) << when;
        EXPECT_EQ(testing::modeOf(AgentSettings::fileURL()), 0600u) << when;
    };
    sample.save();
    expectPrivate("made anew");

    fs::permissions(home.varnel(), fs::perms(0777));
    fs::permissions(AgentSettings::fileURL(), fs::perms(0666));
    sample.save();
    expectPrivate("made wider before");

    fs::remove_all(home.varnel());
    CredentialStore::deviceToken().save("token");
    EXPECT_EQ(testing::modeOf(home.varnel()), 0700u) << "made by the token's save";

    // Missing parents are made as private as the folder.
    testing::ScopedEnvironment deeper("XDG_DATA_HOME", (home.root() / "deep" / "share").string());
    sample.save();
    EXPECT_EQ(testing::modeOf(home.root() / "deep"), 0700u);
    expectPrivate("with its parents made");
}

// Failures read as sentences of our own with the system's reason, whichever step failed; root is
// not stopped by permissions, so the causes are a size limit, a file in the folder's place and a
// folder in the file's place.
TEST_F(AgentSettingsTest, AFailedSaveLeavesTheOldFileAndSaysWhy) {
    sample.save();
    const std::string before = readFile(AgentSettings::fileURL());
    {
        FileSizeLimit limit(16);
        const auto error = testing::thrownBy<Error>([this] { sample.save(); });
        EXPECT_EQ(error.value().description(), "Could not save the settings file: File too large");
    }
    EXPECT_EQ(readFile(AgentSettings::fileURL()), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(home.varnel()), fs::directory_iterator()), 1);

    {
        testing::ScopedEnvironment elsewhere("XDG_DATA_HOME", (home.root() / "elsewhere").string());
        fs::create_directories(AgentSettings::fileURL());
        const auto error = testing::thrownBy<Error>([this] { sample.save(); });
        EXPECT_EQ(error.value().description(), "Could not save the settings file: Is a directory");
        // What stands in the file's place is not read, and says so.
        const auto refused = testing::thrownBy<DataFolder::Refused>([] { (void)AgentSettings::load(); });
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->reason(), DataFolder::Refused::Reason::notAFile);
    }

    writeFile(home.root() / "blocked", "");
    ::setenv("XDG_DATA_HOME", (home.root() / "blocked").c_str(), 1);
    const auto error = testing::thrownBy<Error>([this] { sample.save(); });
    EXPECT_EQ(error.value().description(), "Could not save the settings file: Not a directory");
    EXPECT_EQ(AgentSettings::load(), std::nullopt);
    AgentSettings::clear();
}

} // namespace
} // namespace varnel

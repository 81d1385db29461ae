#include "VarnelKit/Support/Paths.hpp"

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/LogFile.hpp"

#include "TemporaryDirectory.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace varnel {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view noHome =
    "No home folder is set for this user, so Varnel has nowhere to keep its files.";

// An empty value counts as unset, as it does for the shell's ${VAR:-default}.
struct Environment {
    testing::ScopedEnvironment home;
    testing::ScopedEnvironment data;
    Environment(const std::string& homeValue, const std::string& dataValue)
        : home("HOME", homeValue), data("XDG_DATA_HOME", dataValue) {}
};

fs::path passwdHome() {
    const passwd* entry = ::getpwuid(::getuid());
    return entry && entry->pw_dir ? fs::path(entry->pw_dir) : fs::path();
}

TEST(Paths, DataFolderComesFromAnAbsoluteXdgDataHomeThenHomeThenTheUserDatabase) {
    {
        Environment environment("/home/someone", "/srv/data");
        EXPECT_EQ(Paths::applicationSupport(), "/srv/data/Varnel");
        EXPECT_EQ(Paths::settingsFile(), "/srv/data/Varnel/settings.json");
        EXPECT_EQ(Paths::logsDirectory(), "/srv/data/Varnel/Logs");
    }
    {
        // A relative folder would move with the working directory, so it does not count.
        Environment environment("/home/someone", "relative/data");
        EXPECT_EQ(Paths::applicationSupport(), "/home/someone/.local/share/Varnel");
    }
    const fs::path fromDatabase = passwdHome();
    if (fromDatabase.empty() || !fromDatabase.is_absolute())
        GTEST_SKIP() << "this user has no home in the user database";
    for (const char* home : {"", "relative/home"}) {
        Environment environment(home, "");
        EXPECT_EQ(Paths::applicationSupport(), fromDatabase / ".local" / "share" / "Varnel") << home;
    }
}

// A uid that the user database does not know, so getpwuid finds no home for it.
std::optional<uid_t> uidWithoutEntry() {
    for (uid_t uid = 61'234; uid < 62'234; ++uid) {
        if (!::getpwuid(uid))
            return uid;
    }
    return std::nullopt;
}

// Runs in the child of a death test, as a user without any home: every check that fails is
// printed, and the exit status is the number of failed checks.
int checksWithoutAHome(uid_t uid, const fs::path& planted) {
    if (::setgid(65534) != 0 || ::setuid(uid) != 0) {
        std::fprintf(stderr, "could not become uid %u\n", static_cast<unsigned>(uid));
        return 100;
    }
    int failures = 0;
    const auto expectNoHome = [&](const char* what, const std::function<void()>& body) {
        try {
            body();
            std::fprintf(stderr, "%s did not fail\n", what);
            ++failures;
        } catch (const Error& error) {
            if (error.description() != noHome) {
                std::fprintf(stderr, "%s failed with: %s\n", what, error.what());
                ++failures;
            }
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s failed with a foreign error: %s\n", what, error.what());
            ++failures;
        }
    };
    const AgentSettings settings{
        7, "Desk", Url("https://attacker.example"), {"key", "ws.example", 443, "https"}};
    expectNoHome("applicationSupport", [] { (void)Paths::applicationSupport(); });
    expectNoHome("AgentSettings::save", [&] { settings.save(); });
    expectNoHome("CredentialStore::save", [] {
        CredentialStore::deviceToken().save("token");
    });
    expectNoHome("the default log folder", [] { (void)LogFile::Configuration(); });
    // The readers and removers say nothing, as they do for a missing file.
    if (AgentSettings::load())
        ++failures;
    AgentSettings::clear();
    if (CredentialStore::deviceToken().load())
        ++failures;
    std::error_code ignored;
    if (!fs::is_empty(planted, ignored)) {
        std::fprintf(stderr, "something was written into %s\n", planted.c_str());
        ++failures;
    }
    return failures;
}

// Someone else got to the temporary folder's name first: a folder anyone may write into, and a
// link to such a folder. Neither may receive this user's files.
TEST(Paths, WithoutAHomeNothingIsKeptInAFolderOthersCouldHaveMade) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "becoming a user without an entry needs root";
    const auto uid = uidWithoutEntry();
    if (!uid)
        GTEST_SKIP() << "no free uid";
    const std::string name = "varnel-" + std::to_string(*uid);

    TemporaryDirectory tmp;
    fs::permissions(tmp.path(), fs::perms(0755));
    const fs::path openFolder = tmp.path() / "foreign";
    fs::create_directories(openFolder / name);
    fs::permissions(openFolder, fs::perms(0755));
    fs::permissions(openFolder / name, fs::perms(0777));
    const fs::path linkFolder = tmp.path() / "linked";
    const fs::path target = tmp.path() / "target";
    fs::create_directories(linkFolder);
    fs::create_directories(target);
    fs::permissions(linkFolder, fs::perms(0755));
    fs::permissions(target, fs::perms(0777));
    fs::create_directory_symlink(target, linkFolder / name);

    Environment environment("", "relative/data");
    for (const auto& [folder, planted] :
         std::vector<std::pair<fs::path, fs::path>>{{openFolder, openFolder / name}, {linkFolder, target}}) {
        testing::ScopedEnvironment tmpdir("TMPDIR", folder.string());
        EXPECT_EXIT(std::_Exit(checksWithoutAHome(*uid, planted)), ::testing::ExitedWithCode(0), "")
            << folder;
        EXPECT_TRUE(fs::is_empty(planted)) << planted;
    }
}

} // namespace
} // namespace varnel

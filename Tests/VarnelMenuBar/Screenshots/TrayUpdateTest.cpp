// The update as a user meets it: VarnelMenuBar started from a Varnel.app that `cmake --install`
// made from this build, marked as an older release; the server offers the image scripts/package
// makes, served over loopback HTTPS; the user chooses "Update to … now" in the tray's menu; the
// program downloads, verifies, unpacks and swaps the folder, starts the new copy and quits; and
// the relaunched program is the new release's, and reports its start to the server.
#include "Bench/TestBench.hpp"
#include "Integration/LoopbackHttpsServer.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Platform/UpdateImage.hpp"
#include "XDesktop.hpp"

#include <algorithm>
#include <fstream>
#include <set>
#include <sys/prctl.h>

namespace varnel {
namespace {

using namespace varnel::desktop;
namespace fs = std::filesystem;
using Server = testing::LoopbackHttpsServer;

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

std::size_t startsReported(const testing::ManagementTestServer::Snapshot& s) {
    return std::count_if(s.events.begin(), s.events.end(), [](const nlohmann::json& event) {
        return event.value("kind", "") == "agent_started";
    });
}

std::string eventsOf(testing::TestBench& bench) {
    return nlohmann::json(bench.management().snapshot().events).dump();
}

// The pid in the single-instance lock's file: the relaunched copy is no child of this process.
pid_t lockHolder(const fs::path& data) {
    std::ifstream lock(data / "Varnel" / "Instance" / "varnel-menubar.lock");
    long pid = 0;
    lock >> pid;
    return static_cast<pid_t>(pid);
}

// The sockets a process holds open, as /proc names them ("socket:[inode]").
std::set<std::string> socketsOf(pid_t pid) {
    std::set<std::string> sockets;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        const std::string target = fs::read_symlink(entry.path(), error).string();
        if (target.starts_with("socket:"))
            sockets.insert(target);
    }
    return sockets;
}

TEST(TrayUpdate, TheMenusUpdateInstallsTheImageAndRelaunchesTheNewRelease) {
    ASSERT_FALSE(programPath.empty()) << "usage: TrayDesktopTests <VarnelMenuBar> <picture folder>";
    const std::string version = VARNEL_PROJECT_VERSION;
    std::string older = version;
    older.back() = older.back() == '0' ? '1' : static_cast<char>(older.back() - 1);
    const fs::path build = VARNEL_BUILD_DIR;

    TemporaryDirectory root;
    useFolders(root.path(), testing::TestBench::caFile());
    // The relaunched copy is started detached; as its subreaper this process can still reap it.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    const std::string packaged =
        output(quoted(fs::path(VARNEL_SOURCE_DIR) / "scripts" / "package") + " " + quoted(build) + " " +
               quoted(root.path() / "out") + " 2>/dev/null");
    std::istringstream line(packaged);
    std::string digest, imagePath;
    line >> digest >> imagePath;
    ASSERT_EQ(digest.size(), 64u) << packaged;
    const std::string image = testing::readFile(imagePath);

    const fs::path prefix = root.path() / "prefix";
    const fs::path installed = prefix / "Varnel.app";
    output("cmake --install " + quoted(build) + " --strip --prefix " + quoted(prefix) + " >/dev/null 2>&1");
    // The older release: this build with the version text it keeps as data marked older.
    for (const char* program : {"VarnelMenuBar", "varnel-agent"}) {
        const fs::path path = installed / "bin" / program;
        const fs::perms mode = fs::status(path).permissions();
        ASSERT_GE(testing::forge(path, version + '\0', older + '\0'), 1) << program;
        fs::permissions(path, mode);
    }

    std::optional<Process> trayer;
    const std::string tray = startTray(trayer);
    ASSERT_FALSE(tray.empty()) << "trayer did not come up";

    Server server([&](const Server::Request&) { return Server::Reply{200, {}, image}; });
    testing::TestBenchOptions options;
    testing::TestBench bench(options);
    bench.agentSettings().save();
    CredentialStore::deviceToken().save(bench.token());
    bench.management().setUpdateOffer(nlohmann::json{{"version", version},
                                                     {"download_url", server.url("/Varnel-" + version + ".dmg")},
                                                     {"sha256", digest},
                                                     {"required", false}});

    Process old({(installed / "bin" / "VarnelMenuBar").string()});
    ASSERT_TRUE(old.started());
    answerLaunchAlert();
    ASSERT_TRUE(bench.management().waitFor([](const auto& s) { return startsReported(s) == 1; }, 20000ms))
        << eventsOf(bench);
    ASSERT_TRUE(waitUntil([&] { return geometryOf(tray).width() >= 16; }, 10s)) << "no icon in the tray";
    const std::optional<QRect> first = openMenu(tray);
    ASSERT_TRUE(first) << "the menu did not open";
    const int withoutOffer = first->height();
    pressKeys("Escape");
    ASSERT_TRUE(waitUntil([] { return !visibleMenu(); }, 5s));
    // The offer comes with the first heartbeat, a minute after the start, and reaches the menu
    // with the application's next refresh: the menu grows by its rows.
    ASSERT_TRUE(bench.management().waitFor([](const auto& s) { return !s.heartbeats.empty(); }, 75000ms));
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::optional<QRect> menu = openMenu(tray);
            if (!menu)
                return false;
            if (menu->height() > withoutOffer)
                return true;
            pressKeys("Escape");
            waitUntil([] { return !visibleMenu(); }, 5s);
            return false;
        },
        30s))
        << "the offer did not reach the menu";
    // The old copy's connections, its channel to the server among them: none may live on in the
    // new copy, or the server would never see them close.
    const std::set<std::string> oldSockets = socketsOf(lockHolder(root.path() / "data"));
    EXPECT_FALSE(oldSockets.empty());
    pressKeys("Down Return"); // the first item that can be chosen: Update to … now

    EXPECT_TRUE(server.waitForRequests(1, 20000ms)) << "nothing was downloaded";
    EXPECT_TRUE(waitUntil([&] { return old.exited(); }, 20s)) << "the old copy did not quit";
    // The new copy shows its own launch alert, and reports its start.
    answerLaunchAlert();
    EXPECT_TRUE(bench.management().waitFor([](const auto& s) { return startsReported(s) == 2; }, 20000ms))
        << "the new release did not start: " << eventsOf(bench);

    // Both releases compile in one version text, so the new one is known by its program: the
    // relaunched process runs the file now installed, which carries no mark of the older release.
    const pid_t relaunched = lockHolder(root.path() / "data");
    ASSERT_GT(relaunched, 0);
    std::error_code error;
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(relaunched) + "/exe", error),
              installed / "bin" / "VarnelMenuBar");
    EXPECT_EQ(testing::readFile(installed / "bin" / "VarnelMenuBar").find(older + '\0'), std::string::npos);
    EXPECT_EQ(output(quoted(installed / "bin" / "varnel-agent") + " help | head -1"), "varnel-agent " + version);
    std::vector<std::string> inherited;
    for (const auto& socket : socketsOf(relaunched)) {
        if (oldSockets.count(socket))
            inherited.push_back(socket);
    }
    EXPECT_EQ(inherited, std::vector<std::string>());
    // Once the new release runs, nothing of the update is left beside it.
    EXPECT_TRUE(waitUntil(
        [&] { return std::distance(fs::directory_iterator(prefix), fs::directory_iterator()) == 2; }, 10s))
        << "left beside Varnel.app and share";
    Process::stopOther(relaunched);
}

} // namespace
} // namespace varnel

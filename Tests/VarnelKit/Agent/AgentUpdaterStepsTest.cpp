// An update stopped at each of its steps, in a process of its own: killed there, failed there, or
// quit there as the tray's quit does, on one file system and across two, where folders can be
// exchanged in one step and where they cannot. Whatever happened, the computer keeps a working
// Varnel.app (old or new), and its next start leaves nothing of the update behind.
#include "ForkedChild.hpp"
#include "TemporaryDataHome.hpp"
#include "TemporaryTmpfs.hpp"
#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Platform/FileTree.hpp"
#include "VarnelKit/Platform/UpdateImage.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Support/Sha256.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <future>
#include <gtest/gtest.h>
#include <iostream>
#include <optional>
#include <set>
#include <thread>

namespace varnel {
namespace {

namespace fs = std::filesystem;
using namespace varnel::testing;
using Step = AgentUpdater::Step;

enum class Stop { killed, failed, quit };

const char* nameOf(Stop stop) {
    static constexpr std::array names{"killed", "failed", "quit"};
    return names.at(static_cast<std::size_t>(stop));
}

// The steps in their order: the download, the updater's own steps, and the relaunch that follows.
struct NamedStep {
    std::string name;
    std::optional<Step> step; // none: not the updater's own
};
const std::vector<NamedStep> steps = {{"download", std::nullopt}, {"unpack", Step::unpack},
                                      {"stage", Step::stage},     {"copy beside", Step::copyBesideTarget},
                                      {"flush", Step::flush},     {"swap", Step::swap},
                                      {"move in", Step::moveIn},  {"flush folder", Step::flushFolder},
                                      {"relaunch", std::nullopt}};

std::ptrdiff_t orderOf(const std::string& name) {
    return std::find_if(steps.begin(), steps.end(), [&](const NamedStep& s) { return s.name == name; }) -
           steps.begin();
}

const std::string& nameOf(Step step) {
    return std::find_if(steps.begin(), steps.end(), [&](const NamedStep& s) { return s.step == step; })->name;
}

constexpr int quitStatus = 42;

// What the tray does when it quits: it waits for an install's moves, then the process ends.
void quitNow() {
    std::promise<void> waiting;
    auto waits = waiting.get_future();
    std::thread([&waiting] {
        auto moves = AgentUpdater::holdMoves(std::chrono::seconds(0));
        if (moves.owns_lock())
            ::_exit(quitStatus);
        waiting.set_value();
        moves = AgentUpdater::holdMoves(std::chrono::seconds(30));
        ::_exit(quitStatus);
    }).detach();
    // The quit has either ended the process already, or waits for the moves under way.
    waits.wait();
}

void stopHere(Stop stop) {
    switch (stop) {
    case Stop::killed:
        std::raise(SIGKILL);
        break;
    case Stop::failed:
        throw fs::filesystem_error("stopped", std::make_error_code(std::errc::io_error));
    case Stop::quit:
        quitNow();
        break;
    }
}

int refuseExchange(const char*, const char*) {
    errno = EINVAL;
    return -1;
}

// Serves the image in two halves, and stops between them when the download is the step.
class ImageTransport final : public HttpTransport {
public:
    ImageTransport(std::string image, std::function<void()> between)
        : image_(std::move(image)), between_(std::move(between)) {}

    Awaitable<HttpResponse> send(HttpRequest) override { co_return HttpResponse{404, {}, ""}; }

    Awaitable<HttpResponseHead> download(HttpRequest, HttpDownloadSink sink) override {
        HttpResponseHead head{200, {}, image_.size()};
        sink.head(head);
        const std::size_t half = image_.size() / 2;
        sink.chunk(std::string_view(image_).substr(0, half));
        between_();
        sink.chunk(std::string_view(image_).substr(half));
        co_return head;
    }

private:
    std::string image_;
    std::function<void()> between_;
};

// Which release a Varnel.app folder holds, by running its program and reading its files: "old",
// "new", "nothing" when there is no folder, "broken" for anything else.
std::string releaseAt(const fs::path& app) {
    if (!fs::exists(fs::symlink_status(app)))
        return "nothing";
    std::string output;
    if (FILE* pipe =
            ::popen(("'" + (app / "bin" / "VarnelMenuBar").string() + "' 2>/dev/null").c_str(), "r")) {
        std::array<char, 256> buffer{};
        for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
            output.append(buffer.data(), n);
        ::pclose(pipe);
    }
    for (const auto& [name, version] : {std::pair{"old", "2.3.0"}, std::pair{"new", "2.4.0"}}) {
        std::error_code error;
        if (output == std::string(version) + "\n" && readFile(app / "share" / "version") == version &&
            fs::read_symlink(app / "current", error) == "bin/VarnelMenuBar" &&
            fs::read_symlink(app / "bin" / "version", error) == "../share/version") {
            return name;
        }
    }
    return "broken";
}

std::vector<fs::path> entriesOf(const fs::path& folder) {
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(folder))
        entries.push_back(entry.path());
    return entries;
}

std::string howItEnded(int status) {
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGKILL ? "killed" : "signal " + std::to_string(WTERMSIG(status));
    switch (WEXITSTATUS(status)) {
    case 0:
        return "installed";
    case 1:
        return "refused";
    case quitStatus:
        return "quit";
    default:
        return "exit " + std::to_string(WEXITSTATUS(status));
    }
}

struct Case {
    bool twoFileSystems;
    bool exchange;
    std::string step;
    Stop stop;

    std::string text() const {
        return std::string(twoFileSystems ? "two" : "one") + " | " + (exchange ? "exchange" : "no exchange") +
               " | " + step + " | " + nameOf(stop);
    }
};

// Where the install path should be left by a stop at the case's step.
std::string expectedRelease(const Case& c) {
    if (c.step == "relaunch")
        return c.stop == Stop::failed ? "old" : "new"; // failed: the new program could not start
    if (c.step == "swap" || c.step == "move in") {
        if (c.stop == Stop::quit)
            return "new"; // the quit waits for the moves
        if (c.step == "move in" && c.stop == Stop::killed)
            return "nothing"; // the one state no program can prevent: see below
        return "old";
    }
    return orderOf(c.step) < orderOf("swap") ? "old" : "new";
}

class AgentUpdaterStepsTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeImage(image, releaseBundle("2.4.0"));
        imageBytes = readFile(image);
    }

    // Varnel 2.3.0 as an earlier install left it.
    static void installOldRelease(const fs::path& app) {
        fs::create_directories(app / "bin");
        writeFile(app / "bin" / "VarnelMenuBar", "#!/bin/sh\necho 2.3.0\n");
        fs::permissions(app / "bin" / "VarnelMenuBar", fs::perms(0750));
        fs::create_directories(app / "share");
        writeFile(app / "share" / "version", "2.3.0");
        fs::permissions(app / "share", fs::perms(0555));
        fs::create_symlink("bin/VarnelMenuBar", app / "current");
        fs::create_symlink("../share/version", app / "bin" / "version");
    }

    // What the folders hold: the release at the install path, and what else lies beside it, in
    // the temporary folder and in the staging folder.
    struct Disk {
        std::string release;
        std::size_t beside = 0;
        std::size_t temporary = 0;
        std::size_t staging = 0;

        std::string text() const {
            std::string result = release;
            if (beside)
                result += ", " + std::to_string(beside) + " beside";
            if (temporary)
                result += ", " + std::to_string(temporary) + " in tmp";
            if (staging)
                result += ", partial download";
            return result;
        }
    };

    Disk look(const fs::path& installed, const fs::path& temporary, const fs::path& staging) {
        Disk disk{releaseAt(installed)};
        for (const auto& entry : entriesOf(installed.parent_path()))
            disk.beside += entry != installed;
        disk.temporary = entriesOf(temporary).size();
        if (fs::exists(staging)) {
            for (const auto& entry : entriesOf(staging))
                disk.staging += entry.filename().string().starts_with(".");
        }
        return disk;
    }

    // Runs the case in a child process, then as the next start of the program at the install
    // path would, and checks both. Gives the row of the table.
    std::string run(const Case& c, const fs::path& temporaryRoot) {
        TemporaryDirectory root;
        TemporaryDataHome dataHome;
        const fs::path installed = root.path() / "Applications" / "Varnel.app";
        installOldRelease(installed);
        const fs::path temporary = temporaryRoot / "tmp";
        fs::create_directories(temporary);
        const fs::path staging = AgentUpdater::stagingDirectory();
        const AgentUpdater::Places places{installed, temporary, nullptr};

        const int status = runInChild([&] {
            if (!c.exchange)
                FileTree::setExchangeCall(&refuseExchange);
            const auto stopAt = [&](const std::string& step) {
                if (step == c.step)
                    stopHere(c.stop);
            };
            AgentUpdater::Places stopping = places;
            stopping.beforeStep = [&](Step step) { stopAt(nameOf(step)); };
            auto transport = std::make_shared<ImageTransport>(imageBytes, [&] { stopAt("download"); });
            AgentLoop loop;
            loop.startThread();
            AgentUpdater updater(std::make_shared<RecordingLogger>(), transport, stopping);
            const VarnelAPIClient::AgentUpdate offer{
                "2.4.0", *parseAbsoluteUrl("https://varnel.example/Varnel-2.4.0.dmg"), std::nullopt,
                Sha256::hex(imageBytes), false};
            try {
                loop.blockOn(updater.install(offer, nullptr));
            } catch (const AgentUpdater::Failure&) {
                return 1;
            }
            if (c.step == "relaunch") {
                // Failed: the new program could not be started, so the old tree goes back.
                if (c.stop == Stop::failed) {
                    AgentUpdater::putBack(installed, updater.previousTree());
                } else {
                    stopHere(c.stop);
                }
            }
            return 0;
        });
        const std::string ended = howItEnded(status);
        const Disk stopped = look(installed, temporary, staging);
        const std::string expected = expectedRelease(c);
        EXPECT_EQ(stopped.release, expected) << "ended: " << ended;

        std::string afterNextStart = "(no program to start)";
        if (stopped.release == "nothing") {
            // Killed between the two moves where the file system cannot exchange folders: a kill
            // (not a quit, which waits) inside microseconds. Both trees are whole beside the empty
            // place, and the failure message of a process that lives on says where the old one is.
            std::multiset<std::string> beside;
            for (const auto& entry : entriesOf(installed.parent_path()))
                beside.insert(releaseAt(entry));
            EXPECT_EQ(beside, (std::multiset<std::string>{"new", "old"}));
        } else {
            AgentUpdater::removeLeftovers(places);
            const Disk next = look(installed, temporary, staging);
            EXPECT_EQ(next.release, expected);
            EXPECT_EQ(next.beside, 0u);
            EXPECT_EQ(next.temporary, 0u);
            EXPECT_EQ(next.staging, 0u);
            afterNextStart = next.text();
        }
        return c.text() + " | " + ended + " | " + stopped.text() + " | " + afterNextStart;
    }

    TemporaryDirectory folder;
    fs::path image = folder.path() / "Varnel-2.4.0.dmg";
    std::string imageBytes;
};

TEST_F(AgentUpdaterStepsTest, AnUpdateStoppedAtAnyStepLeavesAWorkingVarnel) {
    TemporaryTmpfs tmpfs("16m");
    if (!tmpfs.mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const TemporaryDirectory sameFileSystem;
    std::cout << "file systems | exchange | step | stop | process | on disk | after the next start\n";
    for (const bool twoFileSystems : {false, true}) {
        for (const bool exchange : {true, false}) {
            for (const auto& [step, _] : steps) {
                if ((step == "copy beside" && !twoFileSystems) || (step == "move in" && exchange))
                    continue;
                for (const Stop stop : {Stop::killed, Stop::failed, Stop::quit}) {
                    const Case c{twoFileSystems, exchange, step, stop};
                    SCOPED_TRACE(c.text());
                    std::cout << run(c, twoFileSystems ? tmpfs.path() : sameFileSystem.path()) << "\n";
                    fs::remove_all(tmpfs.path() / "tmp");
                    fs::remove_all(sameFileSystem.path() / "tmp");
                }
            }
        }
    }
}

TEST_F(AgentUpdaterStepsTest, AFullDiskSaysNoSpaceLeftOnDevice) {
    auto entries = releaseBundle("2.4.0");
    entries.push_back(file("Varnel.app/share/data", 0644, std::string(256 * 1024, 'x')));
    writeImage(image, entries);
    for (const bool fullAtTheTarget : {false, true}) {
        SCOPED_TRACE(fullAtTheTarget ? "the copy beside the target" : "the staging copy");
        // Room for the unpacked image but not for a second copy of it; or for the old release only.
        TemporaryTmpfs small(fullAtTheTarget ? "64k" : "384k");
        if (!small.mounted())
            GTEST_SKIP() << "mounting a tmpfs needs root";
        TemporaryDirectory disk;
        const fs::path installed = (fullAtTheTarget ? small.path() : disk.path()) / "Varnel.app";
        const fs::path temporary = fullAtTheTarget ? disk.path() : small.path();
        installOldRelease(installed);

        AgentLoop loop;
        loop.startThread();
        AgentUpdater updater(std::make_shared<RecordingLogger>(), nullptr,
                             AgentUpdater::Places{installed, temporary, nullptr});
        const auto failure = thrownBy<AgentUpdater::Failure>(loop, updater.installFrom(image, "2.4.0"));
        ASSERT_TRUE(failure);
        if (fullAtTheTarget) {
            EXPECT_EQ(failure->detail(), "Varnel.app could not be put in place at " + installed.string() +
                                             " (No space left on device). You may need to install it by hand "
                                             "from " +
                                             image.string() + ".");
        } else {
            EXPECT_EQ(failure->description(), "The update could not be installed. No space left on device");
        }
        EXPECT_EQ(releaseAt(installed), "old");
        EXPECT_EQ(entriesOf(installed.parent_path()).size(), 1u);
        EXPECT_TRUE(fs::is_empty(temporary));
    }
}

} // namespace
} // namespace varnel

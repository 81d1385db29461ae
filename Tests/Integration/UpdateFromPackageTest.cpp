// The update path as a user's computer takes it: an installed Varnel.app made by `cmake --install`
// from this build, marked as an older release; the image that scripts/package makes from this
// build, served over loopback HTTPS; the real updater downloading, verifying, unpacking and
// swapping it in; and the programs started from the installed folder afterwards being the new
// release.
#include "LoopbackHttpsServer.hpp"
#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Agent/TemporaryDataHome.hpp"
#include "VarnelKit/Platform/CurlHttpTransport.hpp"
#include "VarnelKit/Platform/UpdateImage.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"

#include <array>
#include <cstdio>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>

namespace varnel {
namespace {

namespace fs = std::filesystem;
using namespace varnel::testing;
using Server = LoopbackHttpsServer;

struct Outcome {
    int status = -1;
    std::string output;
};

// Runs a shell command line and collects its standard output.
Outcome run(const std::string& command) {
    Outcome outcome;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return outcome;
    std::array<char, 4096> buffer{};
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
        outcome.output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// Gives an installed program another version of the same length where the build compiled its
// own in: the release this test updates from.
int markAsVersion(const fs::path& program, const std::string& current, const std::string& older) {
    const fs::perms mode = fs::status(program).permissions();
    const int count = forge(program, current + '\0', older + '\0');
    fs::permissions(program, mode);
    return count;
}

TEST(UpdateFromPackage, AnInstalledTreeBecomesTheReleaseThatScriptsPackageMade) {
    const std::string version = VARNEL_PROJECT_VERSION;
    std::string older = version;
    older.back() = older.back() == '0' ? '1' : static_cast<char>(older.back() - 1);
    const fs::path build = VARNEL_BUILD_DIR;
    const fs::path source = VARNEL_SOURCE_DIR;

    TemporaryDirectory root;
    TemporaryDataHome home;
    const fs::path prefix = root.path() / "prefix";
    const fs::path installed = AgentUpdater::installedLocation(prefix / "Varnel.app" / "bin" / "VarnelMenuBar");
    ASSERT_EQ(installed, prefix / "Varnel.app");

    // The image first: scripts/package also builds what the install below needs.
    const Outcome packaged =
        run(quoted(source / "scripts" / "package") + " " + quoted(build) + " " + quoted(root.path() / "out"));
    ASSERT_EQ(packaged.status, 0) << packaged.output;
    const fs::path image = root.path() / "out" / ("Varnel-" + version + ".dmg");
    const std::string bytes = readFile(image);
    std::istringstream line(packaged.output);
    std::string digest, named;
    line >> digest >> named;
    EXPECT_EQ(named, image.string());
    ASSERT_EQ(digest.size(), 64u) << packaged.output;

    // What a user installed earlier: this build, as the older release.
    const Outcome install = run("cmake --install " + quoted(build) + " --strip --prefix " + quoted(prefix) + " 2>&1");
    ASSERT_EQ(install.status, 0) << install.output;
    for (const char* program : {"VarnelMenuBar", "varnel-agent"})
        ASSERT_GE(markAsVersion(installed / "bin" / program, version, older), 1) << program;
    EXPECT_EQ(firstLine(run(quoted(installed / "bin" / "varnel-agent") + " help").output), "varnel-agent " + older);
    const std::string entry = readFile(prefix / "share" / "applications" / "varnel.desktop");
    EXPECT_NE(entry.find("\nExec=\"" + (installed / "bin" / "VarnelMenuBar").string() + "\"\n"), std::string::npos)
        << entry;

    Server server([&](const Server::Request& request) {
        if (request.target != "/Varnel-" + version + ".dmg")
            return Server::Reply{404, {}, ""};
        return Server::Reply{200, {}, bytes};
    });
    ScopedEnvironment authority("SSL_CERT_FILE", TestCertificates::shared().caFile.string());
    AgentLoop loop;
    loop.startThread();
    const fs::path temporary = root.path() / "tmp";
    fs::create_directories(temporary);
    AgentUpdater updater(std::make_shared<RecordingLogger>(), std::make_shared<CurlHttpTransport>(),
                         AgentUpdater::Places{installed, temporary, nullptr});
    const VarnelAPIClient::AgentUpdate offer{version, Url(server.url("/Varnel-" + version + ".dmg")), std::nullopt,
                                             digest, false};
    EXPECT_EQ(loop.blockOn(updater.install(offer, nullptr)), installed);

    EXPECT_EQ(firstLine(run(quoted(installed / "bin" / "varnel-agent") + " help").output),
              "varnel-agent " + version);
    const Outcome reference = run("cmake --install " + quoted(build) + " --strip --prefix " + quoted(root.path() / "reference") + " 2>&1");
    ASSERT_EQ(reference.status, 0) << reference.output;
    // Compared as a whole, not printed: a program is no text to read in a failure message.
    EXPECT_TRUE(readFile(installed / "bin" / "VarnelMenuBar") ==
                readFile(root.path() / "reference" / "Varnel.app" / "bin" / "VarnelMenuBar"));
    EXPECT_TRUE(fs::is_empty(temporary));
    // The older release waits beside the new one until the new program's first start.
    EXPECT_EQ(updater.previousTree().parent_path(), prefix);
    EXPECT_EQ(firstLine(run(quoted(updater.previousTree() / "bin" / "varnel-agent") + " help").output),
              "varnel-agent " + older);
    AgentUpdater::removeLeftovers(AgentUpdater::Places{installed, temporary, nullptr});
    EXPECT_EQ(std::distance(fs::directory_iterator(prefix), fs::directory_iterator()), 2); // Varnel.app, share
}

} // namespace
} // namespace varnel

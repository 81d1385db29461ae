#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/SelfTest/StubURLProtocol.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Support/Sha256.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace varnel::SelfTest {

namespace {

namespace fs = std::filesystem;
using AgentUpdate = VarnelAPIClient::AgentUpdate;

const std::string host = "updates.varnel.example";

Url downloadURL(const std::string& scheme) {
    return Url(scheme + "://" + host + "/Varnel.dmg");
}

AgentUpdate offer(std::string version, std::string checksum, const std::string& scheme = "https") {
    return AgentUpdate{std::move(version), downloadURL(scheme), std::nullopt, std::move(checksum), false};
}

// Sets the stub's reply for one test and puts it back however the test ends.
class CannedReply {
public:
    CannedReply(std::string_view body, int status) { StubURLProtocol::respond(bytesOf(body), status); }
    ~CannedReply() { StubURLProtocol::reset(); }
    CannedReply(const CannedReply&) = delete;
    CannedReply& operator=(const CannedReply&) = delete;
};

// A fresh updater over the stub for every attempt.
fs::path download(TestHarness::Context& c, AgentUpdate update) {
    AgentUpdater updater(std::make_shared<RecordingLogger>(), StubURLProtocol::session());
    return c.await(updater.download(std::move(update), nullptr));
}

std::string contentsOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::system_error(errno, std::generic_category(), "cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void removeQuietly(const fs::path& file) {
    std::error_code ignored;
    fs::remove(file, ignored);
}

std::string upper(std::string text) {
    for (char& ch : text) {
        if (ch >= 'a' && ch <= 'z')
            ch = static_cast<char>(ch - 'a' + 'A');
    }
    return text;
}

} // namespace

std::string sha256(std::string_view bytes) {
    return Sha256::hex(bytes);
}

void registerUpdaterTests(TestHarness& h) {
    const std::string suite = "Update verification";

    h.test(suite, "keeps a download that matches the checksum", [](TestHarness::Context& c) {
        const std::string body = "a plausible disk image";
        CannedReply reply(body, 200);
        std::optional<fs::path> file;
        c.assertNoThrow([&] { file = download(c, offer("2.4.0", sha256(body))); });
        if (!file)
            return;
        c.assertNoThrow([&] { c.assertEqual(contentsOf(*file), body); });
        removeQuietly(*file);
    });

    h.test(suite, "refuses a download that does not match", [](TestHarness::Context& c) {
        CannedReply reply("something else entirely", 200);
        c.assertThrows([&] { (void)download(c, offer("2.4.0", sha256("what we published"))); });
    });

    h.test(suite, "writes nothing when the checksum fails", [](TestHarness::Context& c) {
        CannedReply reply("wrong bytes", 200);
        const fs::path target = AgentUpdater::stagingDirectory() / "Varnel-9.9.9.dmg";
        removeQuietly(target);
        c.assertThrows([&] { (void)download(c, offer("9.9.9", sha256("right bytes"))); });
        std::error_code error;
        if (fs::exists(fs::symlink_status(target, error)))
            c.record("a rejected download was left on disk");
    });

    h.test(suite, "accepts a checksum in any case", [](TestHarness::Context& c) {
        const std::string body = "a plausible disk image";
        CannedReply reply(body, 200);
        std::optional<fs::path> file;
        c.assertNoThrow([&] { file = download(c, offer("2.4.0", upper(sha256(body)))); });
        if (file)
            removeQuietly(*file);
    });

    h.test(suite, "refuses a version that is not a version", [](TestHarness::Context& c) {
        for (const std::string candidate :
             {"/tmp/evil", "../../../etc/evil", "2.4.0/../..", "latest", "2.4", ""}) {
            if (AgentUpdater::isPlausibleVersion(candidate))
                c.record("accepted \"" + candidate + "\" as a version");
        }
        c.assertTrue(AgentUpdater::isPlausibleVersion("2.4.0"));
        c.assertTrue(AgentUpdater::isPlausibleVersion("10.20.30"));
    });

    h.test(suite, "refuses anything not served over HTTPS", [](TestHarness::Context& c) {
        CannedReply reply("an installer", 200);
        for (const std::string scheme : {"http", "ftp", "file"}) {
            bool refused = false;
            try {
                (void)download(c, offer("2.4.0", std::string(64, '0'), scheme));
            } catch (...) {
                refused = true;
            }
            if (!refused)
                c.record("accepted " + scheme);
        }
    });

    h.test(suite, "reports an unreachable server rather than hanging", [](TestHarness::Context& c) {
        CannedReply reply("", 404);
        c.assertThrows([&] { (void)download(c, offer("2.4.0", sha256(""))); });
    });
}

} // namespace varnel::SelfTest

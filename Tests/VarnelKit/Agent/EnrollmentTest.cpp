#include "FakeHttpTransport.hpp"
#include "TemporaryDataHome.hpp"
#include "TemporaryTmpfs.hpp"

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/Enrollment.hpp"
#include "VarnelKit/Agent/StoredEnrollment.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/TransportError.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

namespace varnel {
namespace {

using Failure = Enrollment::Failure;
using APIError = VarnelAPIClient::APIError;

std::string normalised(std::string_view raw) { return std::string(Enrollment::normaliseServerURL(raw).buffer()); }

Failure serverFailure(std::string_view raw) {
    return testing::thrownBy<Failure>([raw] { Enrollment::normaliseServerURL(raw); }).value();
}

Failure codeFailure(std::string_view raw) {
    return testing::thrownBy<Failure>([raw] { Enrollment::normaliseCode(raw); }).value();
}

TEST(EnrollmentInputTest, ServerAddresses) {
    EXPECT_EQ(normalised(""), "https://print.varnel.io");
    EXPECT_EQ(normalised(" \t\n\xC2\xA0"), "https://print.varnel.io");
    EXPECT_EQ(normalised("Print.Example"), "https://Print.Example");
    EXPECT_EQ(normalised("HTTPS://a.example/devices?x=1#top"), "https://a.example");
    EXPECT_EQ(normalised("https://user:pw@a.example:8443/x"), "https://a.example:8443");
    EXPECT_EQ(normalised("a.example:"), "https://a.example");
    EXPECT_EQ(normalised("[::1]:8443"), "https://[::1]:8443");
    EXPECT_EQ(serverFailure("http://a.example"), Failure::serverURLInsecure());
    EXPECT_EQ(serverFailure("HtTp://a.example"), Failure::serverURLInsecure());
    EXPECT_EQ(serverFailure("http://"), Failure::serverURLMalformed());
    EXPECT_EQ(serverFailure("ftp://a.example"), Failure::serverURLMalformed());
    EXPECT_EQ(serverFailure("a b.example"), Failure::serverURLMalformed());
    EXPECT_EQ(serverFailure("a.example:99999"), Failure::serverURLMalformed());
    // A port with letters in it is no port, and the letters are no path either.
    EXPECT_EQ(serverFailure("a.example:12ab"), Failure::serverURLMalformed());
    EXPECT_EQ(serverFailure("https://a.example:-1"), Failure::serverURLMalformed());
    EXPECT_EQ(serverFailure("https:a.example"), Failure::serverURLMalformed());
    EXPECT_EQ(Failure::serverURLMalformed().description(),
              "That server address isn't valid. It should look like https://print.varnel.io.");
}

TEST(EnrollmentInputTest, Codes) {
    for (const char* form : {"vrnl-7h3m-2qxt", "Vrnl-7H3m-2qXt", "VRNL7H3M2QXT", " 7H3M2QXT ", "7h3m 2qxt\n", "VRNL- 7H3M-2QXT"}) {
        EXPECT_EQ(Enrollment::normaliseCode(form), "VRNL-7H3M-2QXT") << form;
    }
    for (const char* bad : {"VRNL-1I0O-7HM1", "VRNL-7H3M", "VRNL-7H3M-2QX", "VRNL-7H3M-2QXTA", "VRNL", "7H3M_2QXT"}) {
        EXPECT_EQ(codeFailure(bad), Failure::codeMalformed()) << bad;
    }
    for (const char* empty : {"", "   ", "- -", "\t-\n"}) {
        EXPECT_EQ(codeFailure(empty), Failure::codeEmpty()) << empty;
    }
}

TEST(EnrollmentInputTest, TranslatesRefusals) {
    const auto http = [](int status, std::string body) { return Enrollment::translate(APIError::http(status, std::move(body))); };
    EXPECT_EQ(http(422, R"({"message":"This account is limited to 3 computers."})"),
              Failure::server("This account is limited to 3 computers."));
    EXPECT_EQ(http(409, R"({"message":"Enrollment CODE already used"})"), Failure::codeRejected());
    EXPECT_EQ(http(422, R"({"message":"Bad barcode"})"), Failure::codeRejected());
    EXPECT_EQ(http(404, "<html>not found</html>"), Failure::codeRejected());
    EXPECT_EQ(http(422, R"({"message":""})"), Failure::codeRejected());
    EXPECT_EQ(http(429, R"({"message":"slow down"})"), Failure::server("Too many attempts. Wait a minute and try again."));
    EXPECT_EQ(http(500, ""), Failure::server("The server returned an error (500)."));
    EXPECT_EQ(http(503, R"({"message":"Maintenance."})"), Failure::server("Maintenance."));
    EXPECT_EQ(http(500, R"({"message":")" + std::string(201, 'x') + "\"}"), Failure::server("The server returned an error (500)."));
    // 200 user-perceived characters, each made of two code points, are still a message.
    std::string accented;
    for (int i = 0; i < 200; ++i) accented += "e\xCC\x81";
    EXPECT_EQ(http(500, R"({"message":")" + accented + "\"}"), Failure::server(accented));
    EXPECT_EQ(http(500, R"({"message":5})"), Failure::server("The server returned an error (500)."));
    EXPECT_EQ(Enrollment::translate(APIError::notAuthenticated()), Failure::codeRejected());
    EXPECT_EQ(Enrollment::translate(APIError::gone(std::nullopt)), Failure::unreachable("Job no longer available (gone)"));
    EXPECT_EQ(Enrollment::translate(APIError::credentialRejected()).description(),
              "Could not reach the server. This Mac's access was removed. Set it up again to reconnect.");
}

class EnrollTest : public ::testing::Test {
protected:
    void SetUp() override { loop.startThread(); }

    Enrollment::Success enroll(std::optional<std::string> machineId = "MACHINE-1", std::string server = "print.example") {
        Enrollment enrollment({[machineId] { return machineId; }, fake});
        return loop.blockOn(enrollment.enroll(server, "vrnl 7h3m 2qxt", "1.0.4", store));
    }

    void reply(std::string scheme, std::string host, std::string token = "tok-9") {
        fake->reply = HttpResponse{201, {}, R"({"device_id":9,"name":"Desk","token":")" + token +
                                                R"(","reverb":{"key":"k","host":")" + host +
                                                R"(","port":8080,"scheme":")" + scheme + R"("}})"};
    }

    // The next request the stored enrollment makes, as its server receives it.
    HttpRequest nextRequest() {
        const auto stored = StoredEnrollment::load(store);
        if (!stored.settings)
            throw std::runtime_error("no settings stored");
        VarnelAPIClient client({stored.settings->serverURL, "1.0.4", std::chrono::duration<double>(30.0)}, stored.token,
                               fake);
        fake->reply = HttpResponse{200, {}, "{}"};
        loop.blockOn(client.heartbeat(stored.settings->deviceId, std::nullopt));
        return fake->requests.back();
    }

    bool nothingStored() const { return !store.load() && !AgentSettings::load(); }

    testing::TemporaryDataHome home;
    AgentLoop loop;
    std::shared_ptr<testing::FakeHttpTransport> fake = std::make_shared<testing::FakeHttpTransport>();
    CredentialStore store{"com.varnel.agent", "device-token"};
};

TEST_F(EnrollTest, StoresTheTokenThenTheSettings) {
    reply("wss", "ws.example");
    EXPECT_EQ(enroll(), (Enrollment::Success{9, "Desk"}));
    EXPECT_EQ(store.load(), "tok-9");
    const auto settings = AgentSettings::load();
    ASSERT_TRUE(settings.has_value());
    EXPECT_EQ(settings->serverURL.buffer(), "https://print.example");
    EXPECT_EQ(settings->reverb.host, "ws.example");
    ASSERT_EQ(fake->requests.size(), 1u);
    const auto body = json::parse(*fake->requests[0].body);
    EXPECT_EQ(json::requireString(body, "enrollment_code"), "VRNL-7H3M-2QXT");
    EXPECT_EQ(json::requireString(body, "machine_id"), "MACHINE-1");
    EXPECT_EQ(json::requireString(body, "agent_version"), "1.0.4");
    EXPECT_FALSE(headerValue(fake->requests[0].headers, "Authorization").has_value());
}

TEST_F(EnrollTest, RefusesAnUnencryptedRealtimeServerAndStoresNothing) {
    reply("http", "ws.example");
    const auto refusal = testing::thrownBy<Failure>([this] { enroll(); });
    EXPECT_EQ(refusal.value().description(), "This server asked us to open an unencrypted realtime connection to ws.example. "
                                               "Varnel will not do that. Set REVERB_SCHEME=https on the server and try again.");
    EXPECT_TRUE(nothingStored());

    reply("http", "localhost");
    EXPECT_EQ(enroll().deviceId, 9);
    EXPECT_EQ(store.load(), "tok-9");
}

TEST_F(EnrollTest, InputAndNetworkFailuresComeBeforeAnythingIsStored) {
    reply("https", "ws.example");
    EXPECT_THROW(enroll(std::nullopt), Failure);
    EXPECT_THROW(enroll("M", "http://print.example"), Failure);
    EXPECT_TRUE(fake->requests.empty());

    fake->failure = std::make_exception_ptr(TransportError(TransportError::Code::cannotConnect));
    const auto unreachable = testing::thrownBy<Failure>([this] { enroll(); });
    EXPECT_EQ(unreachable, Failure::unreachable("Could not connect to the server."));
    EXPECT_EQ(unreachable.value().description(), "Could not reach the server. Could not connect to the server.");
    fake->failure = nullptr;
    fake->reply = HttpResponse{422, {}, R"({"message":"Code expired"})"};
    EXPECT_EQ(testing::thrownBy<Failure>([this] { enroll(); }), Failure::codeRejected());
    fake->failure = std::make_exception_ptr(std::runtime_error("elsewhere"));
    EXPECT_THROW(enroll(), std::runtime_error);
    EXPECT_TRUE(nothingStored());
}

// The writes wait for the disk, so they must not run on the loop. The loop's thread is made unable
// to write into the data folder (the file-system user is per thread) to show where they run.
TEST_F(EnrollTest, StoresOffTheLoopThread) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing a thread's file-system user needs root";
    // New threads take the file-system user of the thread that starts them: start the pool first.
    (void)blockingPool(loop.executor());
    const bool loopCannotWrite = loop.blockOn([](std::filesystem::path probe) -> Awaitable<bool> {
        ::setfsuid(65534);
        co_return ::mkdir(probe.c_str(), 0700) != 0 && errno == EACCES;
    }(home.root() / "probe"));
    ASSERT_TRUE(loopCannotWrite);

    reply("https", "ws.example");
    EXPECT_EQ(enroll(), (Enrollment::Success{9, "Desk"}));
    EXPECT_EQ(store.load(), "tok-9");
    EXPECT_TRUE(AgentSettings::load().has_value());
}

TEST_F(EnrollTest, StorageFailuresAreThrownUnchangedAndStoreNothing) {
    reply("https", "ws.example");
    std::filesystem::create_directories(AgentSettings::fileURL());
    const auto settingsError = testing::thrownBy<Error>([this] { enroll(); });
    EXPECT_EQ(settingsError.value().description(), "Could not save the settings file: Is a directory");
    std::filesystem::remove(AgentSettings::fileURL());
    EXPECT_EQ(StoredEnrollment::load(store).token, std::nullopt);

    std::ofstream(home.root() / "blocked") << "";
    ::setenv("XDG_DATA_HOME", (home.root() / "blocked").c_str(), 1);
    EXPECT_THROW(enroll(), CredentialStore::StoreError);
}

// Enrolled to A, an enrollment to B on a full disk fails and leaves A working, or succeeds whole:
// whichever write the disk refuses, the next request takes the token to the server it came from.
TEST_F(EnrollTest, AReEnrollmentOnAFullDiskNeverSendsOneServersTokenToAnother) {
    testing::TemporaryTmpfs disk("256k");
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    testing::ScopedEnvironment onDisk("XDG_DATA_HOME", disk.path().string());
    const std::string longToken(5000, 'b');
    struct Case {
        std::string name;
        std::string tokenOfB;
        long freePages;
        std::string failure; // empty: the enrollment to B succeeds
    };
    const std::vector<Case> cases{
        {"no room at all", "tok-b", 0, "Keychain error 28: No space left on device"},
        {"room for the token only", "tok-b", 1, "Could not save the settings file: No space left on device"},
        {"a long token, no room at all", longToken, 0, "Keychain error 28: No space left on device"},
        {"a long token, room for it only", longToken, 2, "Could not save the settings file: No space left on device"},
        {"room for all but the token's own item", longToken, 3, ""},
    };
    for (const auto& c : cases) {
        StoredEnrollment::clear(store);
        std::filesystem::remove(disk.path() / "filler");
        reply("https", "ws.a.example", "tok-a");
        enroll("MACHINE-1", "a.example");
        ASSERT_NO_FATAL_FAILURE(testing::fillLeaving(disk.path(), c.freePages)) << c.name;

        reply("https", "ws.b.example", c.tokenOfB);
        if (c.failure.empty()) {
            EXPECT_EQ(enroll("MACHINE-1", "b.example").deviceId, 9) << c.name;
        } else {
            const auto failure = testing::thrownBy<Error>([this] { enroll("MACHINE-1", "b.example"); });
            EXPECT_EQ(failure ? failure->description() : "", c.failure) << c.name;
        }

        const HttpRequest next = nextRequest();
        const bool toB = c.failure.empty();
        EXPECT_EQ(next.url, toB ? "https://b.example/api/v1/devices/9/heartbeat" : "https://a.example/api/v1/devices/9/heartbeat")
            << c.name;
        EXPECT_EQ(headerValue(next.headers, "Authorization"), "Bearer " + (toB ? c.tokenOfB : std::string("tok-a")))
            << c.name;
    }
    std::filesystem::remove(disk.path() / "filler");
}

} // namespace
} // namespace varnel

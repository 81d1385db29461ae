// Downloading an update: the checks before any request, the streamed and hashed body within its
// bounds, the progress reports, and what is left on disk when a download is refused.
#include "VarnelKit/Agent/AgentUpdater.hpp"

#include "TemporaryDataHome.hpp"
#include "VarnelKit/Platform/UpdateImage.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Support/Sha256.hpp"
#include "VarnelKit/Support/TransportError.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace varnel {
namespace {

namespace fs = std::filesystem;
using namespace varnel::testing;
using Failure = AgentUpdater::Failure;
using AgentUpdate = VarnelAPIClient::AgentUpdate;

// Serves one body in pieces of a chosen size, with or without a length, and can break off after
// some bytes as a dropped connection does.
class PieceTransport : public HttpTransport {
public:
    int status = 200;
    std::string body;
    std::size_t pieceSize = 0; // 0: the whole body in one piece
    bool announceLength = true;
    std::optional<std::uint64_t> announced; // a length other than the body's
    std::optional<std::size_t> dropAfter;
    std::exception_ptr dropError =
        std::make_exception_ptr(TransportError(TransportError::Code::connectionLost));
    std::vector<HttpRequest> requests;

    Awaitable<HttpResponse> send(HttpRequest) override {
        throw std::logic_error("the updater only downloads");
    }

    Awaitable<HttpResponseHead> download(HttpRequest request, HttpDownloadSink sink) override {
        requests.push_back(std::move(request));
        HttpResponseHead head;
        head.status = status;
        if (announceLength)
            head.contentLength = announced.value_or(body.size());
        sink.head(head);
        const std::size_t end = dropAfter.value_or(body.size());
        const std::size_t step = pieceSize == 0 ? std::max<std::size_t>(end, 1) : pieceSize;
        for (std::size_t at = 0; at < end; at += step)
            sink.chunk(std::string_view(body).substr(at, std::min(step, end - at)));
        if (dropAfter)
            std::rethrow_exception(dropError);
        co_return head;
    }
};

class AgentUpdaterTest : public ::testing::Test {
protected:
    void SetUp() override { loop.startThread(); }

    AgentUpdate offer(const std::string& checksum,
                      std::string url = "https://updates.varnel.example/Varnel.dmg",
                      std::string version = "2.4.0") {
        return AgentUpdate{std::move(version), Url(url), std::nullopt, checksum, false};
    }

    fs::path download(AgentUpdate update, AgentUpdater::Progress progress = nullptr) {
        AgentUpdater updater(logger, transport);
        return loop.blockOn(updater.download(std::move(update), std::move(progress)));
    }

    std::optional<Failure> failureOf(AgentUpdate update, AgentUpdater::Progress progress = nullptr) {
        return thrownBy<Failure>([&] { download(std::move(update), std::move(progress)); });
    }

    // Everything in the staging folder, partial downloads included.
    std::vector<std::string> stagedNames() const {
        std::vector<std::string> names;
        if (!fs::exists(staging()))
            return names;
        for (const auto& entry : fs::directory_iterator(staging()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path staging() const { return home.varnel() / "updates"; }

    TemporaryDataHome home;
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    std::shared_ptr<PieceTransport> transport = std::make_shared<PieceTransport>();
    AgentLoop loop;
};

TEST(AgentUpdaterVersion, OnlyThreeGroupsOfAtMostNineDigitsAreAVersion) {
    for (const char* good :
         {"1.2.3", "10.0.123456789", "2.4.0", "10.20.30", "0.0.0", "999999999.999999999.999999999"}) {
        EXPECT_TRUE(AgentUpdater::isPlausibleVersion(good)) << good;
    }
    for (const char* bad :
         {"1.2", "1.2.3.4", "1..3", "1.2.x", "1.2.3-beta", "1234567890.0.0", "1.2.3 ", " 1.2.3", "1.2.",
          ".1.2", "", "latest", "/tmp/evil", "../../../etc/evil", "2.4.0/../..",
          "\xEF\xBC\x91.2.3" /* a full-width digit one */, "+1.2.3", "1.2.3\n"}) {
        EXPECT_FALSE(AgentUpdater::isPlausibleVersion(bad)) << bad;
    }
}

TEST(Sha256, KnownAnswersWholeAndInPieces) {
    EXPECT_EQ(Sha256::hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256::hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    Sha256 pieces;
    const std::string tenThousand(10000, 'a');
    for (int i = 0; i < 100; ++i)
        pieces.update(tenThousand);
    EXPECT_EQ(pieces.finishHex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_F(AgentUpdaterTest, RefusalsComeBeforeAnyRequestOrFile) {
    transport->body = "an installer";
    const std::string checksum = Sha256::hex(transport->body);
    const Failure malformed = Failure::rejected(
        "the checksum the server published is not a SHA-256 checksum (64 hexadecimal digits)");
    const struct {
        AgentUpdate update;
        Failure expected;
    } cases[] = {
        {offer(checksum, "http://updates.varnel.example/Varnel.dmg"),
         Failure::rejected("it is not served over HTTPS")},
        {offer(checksum, "ftp://updates.varnel.example/Varnel.dmg"),
         Failure::rejected("it is not served over HTTPS")},
        {offer(checksum, "file:///tmp/Varnel.dmg"), Failure::rejected("it is not served over HTTPS")},
        {offer(checksum, "updates.varnel.example/Varnel.dmg"),
         Failure::rejected("it is not served over HTTPS")},
        {offer(checksum, "https://updates.varnel.example/x", "../../2.4.0"),
         Failure::rejected("the version \"../../2.4.0\" is not a version")},
        // No download could match these, so none is made.
        {offer(""), malformed},
        {offer("ab"), malformed},
        {offer(checksum.substr(1)), malformed},
        {offer(checksum + "0"), malformed},
        {offer(checksum.substr(1) + "g"), malformed},
        {offer(" " + checksum.substr(1)), malformed},
        {offer(" " + checksum), malformed},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.expected.description());
        EXPECT_EQ(failureOf(item.update), item.expected);
    }
    EXPECT_EQ(cases[0].expected.description(), "This update was refused: it is not served over HTTPS");
    EXPECT_TRUE(transport->requests.empty());
    EXPECT_FALSE(fs::exists(home.varnel()));
}

TEST_F(AgentUpdaterTest, AMatchingDownloadIsKeptUnderItsVersionAndTheSchemeIsReadInAnyCase) {
    transport->body = "a plausible disk image";
    transport->pieceSize = 5;
    const fs::path file =
        download(offer(Sha256::hex(transport->body), "HTTPS://updates.varnel.example/Varnel.dmg"));
    EXPECT_EQ(file, staging() / "Varnel-2.4.0.dmg");
    EXPECT_EQ(readFile(file), transport->body);
    EXPECT_EQ(stagedNames(), std::vector<std::string>{"Varnel-2.4.0.dmg"});
    ASSERT_EQ(transport->requests.size(), 1u);
    EXPECT_EQ(transport->requests[0].method, "GET");
    EXPECT_EQ(transport->requests[0].url, "HTTPS://updates.varnel.example/Varnel.dmg");
    EXPECT_EQ(logger->messages(),
              (std::vector<std::string>{"[INFO] Downloading Varnel 2.4.0", "[INFO] Verified Varnel 2.4.0"}));
}

TEST_F(AgentUpdaterTest, AnUpperCaseChecksumMatchesAndANewDownloadReplacesAnOlderFile) {
    fs::create_directories(staging());
    writeFile(staging() / "Varnel-2.4.0.dmg", "an older image of the same name");
    transport->body = "a plausible disk image";
    std::string checksum = Sha256::hex(transport->body);
    for (char& c : checksum)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(readFile(download(offer(checksum))), transport->body);
}

TEST_F(AgentUpdaterTest, AMismatchLeavesNoImageEvenWhereAnOlderOneWas) {
    fs::create_directories(staging());
    writeFile(staging() / "Varnel-2.4.0.dmg", "the image verified yesterday");
    writeFile(staging() / "Varnel-2.3.9.dmg", "another version's image");
    transport->body = "wrong bytes";
    transport->pieceSize = 3;
    EXPECT_EQ(failureOf(offer(Sha256::hex("right bytes"))), Failure::checksumMismatch());
    // The download of a version starts by removing that version's image, so a refused one never
    // leaves an image that could be taken for the one just offered; other versions are left alone.
    EXPECT_EQ(stagedNames(), std::vector<std::string>{"Varnel-2.3.9.dmg"});
    EXPECT_TRUE(
        logger->contains("[ERROR] The downloaded update for 2.4.0 did not match the checksum the server "
                         "published, so it has not been installed."));
}

TEST_F(AgentUpdaterTest, AnHttpErrorIsUnreachableEvenWhenTheChecksumWouldMatch) {
    transport->status = 404;
    transport->body = "";
    const auto failure = failureOf(offer(Sha256::hex("")));
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, Failure::unreachable("HTTP 404: "));
    EXPECT_TRUE(failure->description().starts_with("The update could not be downloaded. "));

    // The body of an error page is not taken for the image either.
    transport->body = "<html>not found</html>";
    EXPECT_EQ(failureOf(offer(Sha256::hex(transport->body))), Failure::unreachable("HTTP 404: "));
    EXPECT_EQ(stagedNames(), std::vector<std::string>());
}

TEST_F(AgentUpdaterTest, ADownloadCutOffMidwayIsUnreachableAndLeavesNothing) {
    fs::create_directories(staging());
    writeFile(staging() / "Varnel-2.4.0.dmg", "the image verified yesterday");
    transport->body = std::string(1000, 'v');
    transport->pieceSize = 100;
    transport->dropAfter = 400;
    std::vector<double> reports;
    const auto failure =
        failureOf(offer(Sha256::hex(transport->body)), [&](double f) { reports.push_back(f); });
    EXPECT_EQ(failure, Failure::unreachable(TransportError::sentence(TransportError::Code::connectionLost)));
    // Neither the partial download nor the earlier image of this version is left behind.
    EXPECT_EQ(stagedNames(), std::vector<std::string>());
    // Reports went as far as the bytes that came, and no further.
    ASSERT_FALSE(reports.empty());
    EXPECT_LE(reports.back(), 0.4);
    EXPECT_GT(reports.back(), 0.38);
}

TEST_F(AgentUpdaterTest, ACancelledDownloadStaysACancellationAndLeavesNothing) {
    transport->body = std::string(1000, 'c');
    transport->dropAfter = 500;
    transport->dropError = std::make_exception_ptr(OperationCancelled());
    EXPECT_TRUE(thrownBy<OperationCancelled>([&] { download(offer(Sha256::hex(transport->body))); }));
    EXPECT_EQ(stagedNames(), std::vector<std::string>());
}

// The product's bounds end a download with a sentence that says which one held, and leave nothing.
TEST_F(AgentUpdaterTest, ADownloadEndsAtItsBoundsAndSaysWhichOne) {
    const auto sentenceOf = [&](const AgentUpdate& update, std::vector<double>* reports = nullptr) {
        const auto failure = failureOf(update, [&](double f) {
            if (reports)
                reports->push_back(f);
        });
        return failure ? failure->description() : std::string("no failure");
    };
    // The product's size, announced one byte too long: refused at the head, before any piece.
    transport->body = "a plausible disk image";
    transport->announced = 1024ull * 1024 * 1024 + 1;
    std::vector<double> reports;
    EXPECT_EQ(
        sentenceOf(offer(Sha256::hex(transport->body)), &reports),
        "The update could not be downloaded. The server announced 1073741825 bytes, more than the 1 GiB "
        "an update may be.");
    EXPECT_TRUE(reports.empty());
    transport->announced.reset();

    // The transport ends a trickle; the sentence names the product's rate.
    transport->dropAfter = 10;
    transport->dropError = std::make_exception_ptr(TransportError(TransportError::Code::tooSlow));
    EXPECT_EQ(sentenceOf(offer(Sha256::hex(transport->body))),
              "The update could not be downloaded. It came in slower than 1 KiB/s for a minute, so it was "
              "stopped.");
    EXPECT_EQ(stagedNames(), std::vector<std::string>());
}

TEST_F(AgentUpdaterTest, ProgressComesInStepsOfOnePercentHoweverTheBodyIsCut) {
    transport->body = std::string(1000, 'p');
    const std::string checksum = Sha256::hex(transport->body);
    std::vector<double> whole;
    for (const std::size_t piece : {0, 1, 7, 333, 999}) {
        SCOPED_TRACE(piece);
        transport->pieceSize = piece;
        std::vector<double> reports;
        download(offer(checksum), [&](double f) { reports.push_back(f); });
        ASSERT_EQ(reports.size(), 99u);
        EXPECT_EQ(std::vector<double>(reports.begin(), reports.begin() + 5),
                  (std::vector<double>{0.010, 0.020, 0.031, 0.041, 0.052}));
        EXPECT_EQ(reports[97], 0.998);
        EXPECT_EQ(reports[98], 1.0);
        EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
        if (whole.empty()) {
            whole = reports;
        } else {
            EXPECT_EQ(reports, whole);
        }
    }
}

TEST_F(AgentUpdaterTest, NoProgressWithoutAnAnnouncedLength) {
    transport->body = std::string(1000, 'p');
    transport->pieceSize = 10;
    transport->announceLength = false;
    int reports = 0;
    download(offer(Sha256::hex(transport->body)), [&](double) { ++reports; });
    EXPECT_EQ(reports, 0);

    // An announced length of nothing at all gives no report either, and no division by it.
    transport->body.clear();
    transport->announceLength = true;
    download(offer(Sha256::hex("")), [&](double) { ++reports; });
    EXPECT_EQ(reports, 0);
}

// What a user reads is the system's reason, never the library's "filesystem error: …" text.
TEST_F(AgentUpdaterTest, FileErrorsOfTheDownloadGiveTheSystemsReason) {
    const auto sentenceOf = [&](const AgentUpdate& update) -> std::string {
        const auto failure = failureOf(update);
        return failure ? failure->description() : "no failure";
    };
    // A staging folder that cannot be made.
    fs::create_directories(home.varnel());
    writeFile(staging(), "a file where the folder should be");
    transport->body = "a plausible disk image";
    EXPECT_EQ(sentenceOf(offer(Sha256::hex(transport->body))),
              "The update could not be downloaded. Not a directory");
    EXPECT_TRUE(transport->requests.empty());
    fs::remove(staging());

    // A verified image that cannot take its name: a folder with something in it is in the way.
    fs::create_directories(staging() / "Varnel-2.4.0.dmg" / "inside");
    EXPECT_EQ(sentenceOf(offer(Sha256::hex(transport->body))),
              "The update could not be downloaded. Is a directory");
    EXPECT_EQ(stagedNames(), std::vector<std::string>{"Varnel-2.4.0.dmg"});
    fs::remove_all(staging());

    // A disk that fills up halfway: the file size limit makes writes fail with EFBIG.
    transport->body = std::string(64 * 1024, 'd');
    transport->pieceSize = 4096;
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 10000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string sentence = sentenceOf(offer(Sha256::hex(transport->body)));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(sentence, "The update could not be downloaded. File too large");
    EXPECT_EQ(stagedNames(), std::vector<std::string>());
}

} // namespace
} // namespace varnel

#include "CliFixture.hpp"
#include "VarnelKit/Support/MachineIdentity.hpp"

#include <fstream>

namespace varnel {
namespace {

using testing::CliFixture;

class EnrollStatusTest : public CliFixture {};

TEST_F(EnrollStatusTest, AMissingCodeIsAUsageErrorAndReachesNoServer) {
    for (const auto& words : std::vector<std::vector<std::string>>{
             {"enroll"}, {"enroll", "--code"}, {"enroll", "--code", "--server", "https://a.example"}}) {
        EXPECT_EQ(run(words), 1);
        EXPECT_EQ(err.str(), "Error: --code VRNL-XXXX-XXXX is required\n");
        EXPECT_EQ(out.str(), "");
    }
    EXPECT_TRUE(enrollments.empty());
}

TEST_F(EnrollStatusTest, AnEnrollmentPrintsTwoLinesAndAServerFlagMeansTheDefaultServer) {
    EXPECT_EQ(run({"enroll", "--server", "--code", "vrnl 2345 6789"}), 0);
    ASSERT_EQ(enrollments.size(), 1u);
    EXPECT_EQ(enrollments[0], std::make_pair(std::string(), std::string("vrnl 2345 6789")));
    EXPECT_EQ(out.str(), "Enrolled as \"Packing Station\" (device 7).\n"
                         "Token stored in the Keychain. Start the agent with: varnel-agent run\n");

    EXPECT_EQ(run({"enroll", "--code", "VRNL-2345-6789", "--server", "https://print.example.com:8443"}), 0);
    ASSERT_EQ(enrollments.size(), 2u);
    EXPECT_EQ(enrollments[1].first, "https://print.example.com:8443");
}

TEST_F(EnrollStatusTest, StatusShowsWhatIsStoredInFixedColumns) {
    const std::string machine = MachineIdentity::platformUUID().value_or("unknown");
    struct Case {
        bool withToken;
        std::string scheme;
        std::string token;
    };
    for (const auto& c :
         std::vector<Case>{{true, "https", "present in Keychain"}, {false, "wss", "MISSING — re-enroll"}}) {
        CredentialStore::deviceToken().deleteItem();
        enrollLocally(c.withToken, c.scheme, "https://print.example.com:8443/base");
        EXPECT_EQ(run({"status"}), 0);
        EXPECT_EQ(out.str(), "Device:   Front Desk (id 42)\n"
                             "Server:   https://print.example.com:8443/base\n"
                             "Reverb:   " +
                                 c.scheme +
                                 "://ws.example.com:443\n"
                                 "Token:    " +
                                 c.token +
                                 "\n"
                                 "Machine:  " +
                                 machine + "\n");
        EXPECT_EQ(err.str(), "");
    }
}

TEST_F(EnrollStatusTest, StatusWithoutUsableSettingsSaysNotEnrolledOnStandardOutput) {
    const std::string notEnrolled = "Not enrolled. Run: varnel-agent enroll --server <url> --code <code>\n";
    EXPECT_EQ(run({"status"}), 0);
    EXPECT_EQ(out.str(), notEnrolled);

    // A settings file that does not decode counts as none.
    enrollLocally();
    std::ofstream(AgentSettings::fileURL(), std::ios::trunc) << "{\"deviceId\": \"forty-two\"}";
    EXPECT_EQ(run({"status"}), 0);
    EXPECT_EQ(out.str(), notEnrolled);
    EXPECT_EQ(err.str(), "");
}

// A settings file that breaks the enrollment's rules is no enrollment to show: the command fails
// with the reason, and the file stays as it was.
TEST_F(EnrollStatusTest, StatusOnSettingsThatBreakTheRulesShowsTheReasonAndDoesNotFail) {
    enrollLocally(true, "https", "http://print.example.com");
    const auto read = [] {
        std::ifstream file(AgentSettings::fileURL());
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    const std::string before = read();
    EXPECT_EQ(run({"status"}), 0);
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(out.str(), "Varnel will not use the settings in " + AgentSettings::fileURL().string() +
                             ": the server address \"http://print.example.com\" is not https, so this Mac's "
                             "credential would cross the network in the clear. Enroll again to replace them.\n");
    EXPECT_EQ(read(), before);
}

} // namespace
} // namespace varnel

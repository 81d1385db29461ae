#include "VarnelMenuBar/SetupForm.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

TEST(SetupFormTest, ConnectNeedsACodeBeyondBlanksAndTabsAndNoEnrollmentRunning) {
    const struct {
        bool working;
        const char* code;
        bool enabled;
    } cases[] = {
        {false, "", false},
        {false, "   ", false},
        {false, " \t \t", false},
        {false, "  VRNL-2345-6789  ", true},
        // Only blanks and tabs are trimmed: a line feed or a no-break space counts as typed.
        {false, "\n", true},
        {false, "\xC2\xA0", true},
        {true, "VRNL-2345-6789", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SetupForm::connectEnabled(c.working, c.code), c.enabled)
            << '"' << c.code << '"' << c.working;
    EXPECT_EQ(SetupForm::trimBlanksAndTabs("\t VRNL 1 \t"), "VRNL 1");
}

TEST(SetupFormTest, PrefillKeepsTheSavedServersPortAndBrackets) {
    const struct {
        const char* saved;
        std::optional<std::string> prefill;
    } cases[] = {
        {"https://print.varnel.io", std::nullopt},
        {"https://varnel.example", "varnel.example"},
        {"https://varnel.example:8443", "varnel.example:8443"},
        {"https://[::1]:8443", "[::1]:8443"},
        {"https://[fd00::5]", "[fd00::5]"},
        // The default host on another port is another server.
        {"https://print.varnel.io:8443", "print.varnel.io:8443"},
    };
    for (const auto& c : cases) {
        AgentSettings settings;
        settings.serverURL = *parseAbsoluteUrl(c.saved);
        EXPECT_EQ(SetupForm::prefillHost(settings), c.prefill) << c.saved;
        // What is pre-filled names the same server again.
        if (c.prefill) {
            EXPECT_EQ(Enrollment::normaliseServerURL(*c.prefill).buffer(), settings.serverURL.buffer())
                << c.saved;
        }
    }
    EXPECT_EQ(SetupForm::prefillHost(std::nullopt), std::nullopt);
}

TEST(SetupFormTest, OnlyFailuresOfTheCodeSelectTheCode) {
    using Kind = Enrollment::Failure::Kind;
    for (const auto kind : {Kind::codeEmpty, Kind::codeMalformed, Kind::codeRejected})
        EXPECT_TRUE(SetupForm::isCodeFailure(kind));
    for (const auto kind : {Kind::unreachable, Kind::server, Kind::serverURLMalformed,
                            Kind::serverURLInsecure, Kind::machineIdentityUnavailable})
        EXPECT_FALSE(SetupForm::isCodeFailure(kind));
}

} // namespace
} // namespace varnel

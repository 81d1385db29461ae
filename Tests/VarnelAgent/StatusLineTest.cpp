#include "VarnelKit/Agent/StatusLine.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

using Status = VarnelAgent::Status;

TEST(StatusLineTest, EveryStatusHasItsCaseNameAndTextIsQuotedOntoOneLine) {
    const std::vector<std::pair<Status, std::string>> cases{
        {Status::connecting(), "connecting"},
        {Status::connected(), "connected"},
        {Status::accessRevoked(), "accessRevoked"},
        {Status::notEnrolled(), "notEnrolled"},
        {Status::disconnected("No network"), R"(disconnected(reason: "No network"))"},
        {Status::disconnected(""), R"(disconnected(reason: ""))"},
        {Status::updateRequired("2.0.0"), R"(updateRequired(minimumVersion: "2.0.0"))"},
        {Status::disconnected("say \"hi\""), R"(disconnected(reason: "say \"hi\""))"},
        {Status::disconnected(R"(C:\temp)"), R"(disconnected(reason: "C:\\temp"))"},
        {Status::disconnected("line\nbreak\r\tend"), R"(disconnected(reason: "line\nbreak\r\tend"))"},
        {Status::disconnected(std::string("nul\0bell\x07\x1b", 10)),
         R"(disconnected(reason: "nul\0bell\u{7}\u{1b}"))"},
        {Status::disconnected("Café ☕"), R"(disconnected(reason: "Café ☕"))"},
    };
    for (const auto& [status, text] : cases)
        EXPECT_EQ(StatusLine::text(status), text);
}

} // namespace
} // namespace varnel

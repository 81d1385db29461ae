#include "StatusPrinter.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

using Status = VarnelAgent::Status;

// The agent calls its observer again with the same status when only the update offer changed;
// the terminal sees each status once.
TEST(StatusPrinterTest, OnlyAStatusThatDiffersFromTheLastPrintedOneIsPrinted) {
    std::vector<std::string> lines;
    CLI::StatusPrinter printer([&lines](std::string_view line) { lines.emplace_back(line); });
    for (const auto& status :
         {Status::connecting(), Status::connected(), Status::connected(), Status::disconnected("a"),
          Status::disconnected("a"), Status::disconnected("b"), Status::connected()})
        printer.show(status);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"[status] connected", R"([status] disconnected(reason: "a"))",
                                        R"([status] disconnected(reason: "b"))", "[status] connected"}));
}

} // namespace
} // namespace varnel

#include "TemporaryDirectory.hpp"
#include "VarnelMenuBar/LogTail.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

TEST(LogTailTest, GivesTheLastLinesWithoutEmptyOnesAndSeesNewLines) {
    TemporaryDirectory folder;
    auto file = std::make_shared<LogFile>(LogFile::Configuration(folder.path()));
    LogTail tail(file);
    EXPECT_TRUE(tail.lines().empty());
    file->write("INFO", "first");
    file->write("INFO", "");
    file->write("ERROR", "second");
    file->flush();
    auto lines = tail.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("[INFO] first"), std::string::npos);
    EXPECT_NE(lines[2].find("[ERROR] second"), std::string::npos);

    for (int i = 0; i < 400; ++i)
        file->write("INFO", "line " + std::to_string(i));
    file->flush();
    lines = tail.lines();
    // The last 300 pieces, of which the one after the final line feed is empty.
    ASSERT_EQ(lines.size(), 299u);
    EXPECT_NE(lines.back().find("line 399"), std::string::npos);
    EXPECT_TRUE(LogTail(nullptr).lines().empty());
}

} // namespace
} // namespace varnel

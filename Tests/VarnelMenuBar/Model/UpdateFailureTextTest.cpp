#include "VarnelMenuBar/UpdateFailureText.hpp"

#include "VarnelKit/Agent/AgentUpdater.hpp"

#include <filesystem>
#include <gtest/gtest.h>

namespace varnel {
namespace {

template <class E> std::string describeThrown(E error) {
    return UpdateFailureText::describe(std::make_exception_ptr(std::move(error)));
}

TEST(UpdateFailureTextTest, FileErrorsReadAsTheSystemsSentenceWithoutPaths) {
    const auto text = describeThrown(std::filesystem::filesystem_error(
        "cannot create the download file", "/home/someone/.local/share/Varnel/updates",
        std::make_error_code(std::errc::permission_denied)));
    EXPECT_EQ(text, "The update could not be installed. Permission denied");
    EXPECT_EQ(describeThrown(std::system_error(std::make_error_code(std::errc::no_space_on_device))),
              "The update could not be installed. No space left on device");
    // The updater's own sentences pass unchanged.
    EXPECT_EQ(describeThrown(AgentUpdater::Failure::checksumMismatch()),
              AgentUpdater::Failure::checksumMismatch().description());
}

} // namespace
} // namespace varnel

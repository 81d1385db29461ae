// One QApplication for the whole binary, on the platform the test's environment names (offscreen
// in ctest), then GoogleTest.
#include "TemporaryDirectory.hpp"

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // ctest lists the tests without the test's environment, so without a platform to show on.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    // Window geometry (QSettings) and Qt's runtime files go to folders of this run, never the
    // user's; tests that need their own data and runtime folders set them again.
    varnel::TemporaryDirectory folder;
    std::filesystem::create_directories(folder.path() / "config");
    std::filesystem::create_directories(folder.path() / "runtime");
    std::filesystem::permissions(folder.path() / "runtime", std::filesystem::perms::owner_all);
    ::setenv("XDG_CONFIG_HOME", (folder.path() / "config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (folder.path() / "runtime").c_str(), 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setOrganizationName(QStringLiteral("Varnel"));
    QApplication::setApplicationName(QStringLiteral("VarnelMenuBarTests"));
    return RUN_ALL_TESTS();
}

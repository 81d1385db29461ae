// One QApplication for the whole binary, on the platform the test's environment names (offscreen
// in ctest), then GoogleTest.
#include <QApplication>
#include <QStandardPaths>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // ctest lists the tests without the test's environment, so without a platform to show on.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    // Window geometry and other QSettings go to a test folder, never the user's.
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setOrganizationName(QStringLiteral("Varnel"));
    QApplication::setApplicationName(QStringLiteral("VarnelMenuBarTests"));
    return RUN_ALL_TESTS();
}

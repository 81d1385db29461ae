// The tray's tests on an X display: run through xvfb-run with the program to drive and the folder
// for pictures as arguments.
#include "XDesktop.hpp"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QGuiApplication application(argc, argv);
    if (argc >= 3) {
        varnel::desktop::programPath = argv[1];
        varnel::desktop::pictureFolder = argv[2];
    }
    return RUN_ALL_TESTS();
}

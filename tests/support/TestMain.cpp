// The main of every test executable: GoogleTest, and a QApplication on the offscreen platform.
// The platform is given as an argument, not through the environment, so that a real program a
// test starts does not inherit it, and listing the tests needs no display.

#include <gtest/gtest.h>

#include <QApplication>
#include <vector>

#include "support/RecordingBoxes.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::vector<char*> arguments(argv, argv + argc);
    char platformOption[] = "-platform";
    char platformName[] = "offscreen";
    arguments.push_back(platformOption);
    arguments.push_back(platformName);
    arguments.push_back(nullptr);
    int applicationArgc = argc + 2;
    QApplication application(applicationArgc, arguments.data());
    shell::InstallReportBoxes(testsupport::Boxes());
    return RUN_ALL_TESTS();
}

#include <gtest/gtest.h>

#include <string>

#include "shell/ApplicationTitle.h"

TEST(ApplicationTitleTest, FileNameCutAtTheFirstDotWithOneLeadingCapital) {
    const struct {
        const char* path;
        const char* title;
    } cases[] = {{"/usr/local/bin/udpphone", "udpphone"},
                 {"/opt/UDPPHONE.EXE", "Udpphone"},
                 {"/opt/UdpPhone", "Udpphone"},
                 {"/opt/udpPhone.v2.bin", "udpphone"},
                 {"/home/a.b/Phone", "Phone"},  // a dot in a directory does not count
                 {"relative/X", "X"},
                 {"NoDirectory.exe", "Nodirectory"},
                 {"/opt/ÉCOLE", "École"},  // a multi-byte first character keeps its case whole
                 {"/opt/電話PHONE", "電話phone"},
                 {"/opt/.hidden", ""},
                 {"/opt/", ""},
                 {"", ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(shell::TitleFromExecutablePath(c.path), c.title) << c.path;
    }
}

TEST(ApplicationTitleTest, TakenFromThisExecutableWhoseDirectoryKeepsOnlyTheRootsSeparator) {
    EXPECT_EQ(shell::ExecutableFileName(), "application_title_test");
    EXPECT_EQ(shell::ApplicationTitle(), "application_title_test");
    EXPECT_EQ(shell::ExecutableDirectory() + "/application_title_test", shell::ExecutablePath());
    EXPECT_EQ(shell::DirectoryOf("/a/b/c"), "/a/b");
    EXPECT_EQ(shell::DirectoryOf("/c"), "/");
    EXPECT_EQ(shell::DirectoryOf("c"), "");
}

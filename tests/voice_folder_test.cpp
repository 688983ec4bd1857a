// The user's own voice folder of the packaged program: where it lies, and how it is made at start.

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/VoiceFolder.h"
#include "support/PhoneCalls.h"

namespace fs = std::filesystem;
using namespace testsupport;
using voice::FolderOutcome;

namespace {

class VoiceFolderTest : public ::testing::Test {
  protected:
    VoiceFolderTest() {
        char name[] = "/tmp/udpphone-folder.XXXXXX";
        if (::mkdtemp(name) != nullptr) {
            root = name;
        }
        tone = root / "sample.au";
        WriteFile(tone, Pattern(70000, 3));
    }
    ~VoiceFolderTest() override { fs::remove_all(root); }

    // Everything under the root but the sample tone, as paths relative to the root.
    std::vector<std::string> Left() const {
        std::vector<std::string> paths;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.path() != tone) {
                paths.push_back(fs::relative(entry.path(), root).string());
            }
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    fs::path root;
    fs::path tone;
};

}  // namespace

TEST(VoiceFolderPlace, XdgDataHomeWhenAbsoluteElseHomeElseNone) {
    const struct {
        const char* xdg;
        const char* home;
        const char* expected;
    } cases[] = {
        {"/data/u", "/home/u", "/data/u/udpphone"},
        {"/data/u//", "/home/u", "/data/u/udpphone"},
        {nullptr, "/home/u", "/home/u/.local/share/udpphone"},
        {"", "/home/u/", "/home/u/.local/share/udpphone"},
        {"data/u", "/home/u", "/home/u/.local/share/udpphone"},  // relative: ignored
        {"~/data", "/home/u", "/home/u/.local/share/udpphone"},
        {nullptr, "/", "/.local/share/udpphone"},
        {"/", nullptr, "/udpphone"},
        {nullptr, nullptr, ""},
        {"", "", ""},
        {"data", "home/u", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.xdg ? c.xdg : "(unset)") + " " + (c.home ? c.home : "(unset)"));
        EXPECT_EQ(voice::UserFolder(c.xdg, c.home), c.expected);
    }
}

TEST_F(VoiceFolderTest, MissingFolderIsMadeWithTheToneAndAnEmptyRecvThenLeftAlone) {
    ASSERT_FALSE(root.empty());
    const fs::path folder = root / "home/.local/share/udpphone";
    auto prepared = voice::PrepareFolder(folder, tone);
    ASSERT_EQ(prepared.outcome, FolderOutcome::Created) << prepared.problem;
    EXPECT_EQ(ReadFile(folder / "send.au"), ReadFile(tone));
    EXPECT_TRUE(fs::is_regular_file(folder / "recv.au"));
    EXPECT_EQ(fs::file_size(folder / "recv.au"), 0u);
    EXPECT_EQ(fs::status(root / "home/.local").permissions(), fs::perms::owner_all);
    EXPECT_EQ(Left(),
              (std::vector<std::string>{
                  "home", "home/.local", "home/.local/share", "home/.local/share/udpphone",
                  "home/.local/share/udpphone/recv.au", "home/.local/share/udpphone/send.au"}));

    // The operator's files, and a folder emptied by the operator, stay as they are.
    WriteFile(folder / "recv.au", {1, 2, 3});
    fs::remove(folder / "send.au");
    prepared = voice::PrepareFolder(folder, tone);
    EXPECT_EQ(prepared.outcome, FolderOutcome::Existing);
    EXPECT_EQ(ReadFile(folder / "recv.au"), (Bytes{1, 2, 3}));
    EXPECT_FALSE(fs::exists(folder / "send.au"));

    // Nor is anything else that stands there, even a link to nowhere.
    fs::create_symlink(root / "nowhere", root / "linked");
    EXPECT_EQ(voice::PrepareFolder(root / "linked", tone).outcome, FolderOutcome::Existing);
    EXPECT_FALSE(fs::exists(root / "nowhere"));
}

TEST_F(VoiceFolderTest, AFailureSaysWhyAndLeavesNothingHalfMade) {
    ASSERT_FALSE(root.empty());
    WriteFile(root / "file", {});
    const struct {
        fs::path folder;
        fs::path tone;
        const char* problem;
    } cases[] = {
        {"", tone, "neither XDG_DATA_HOME nor HOME"},
        {"relative/udpphone", tone, "neither XDG_DATA_HOME nor HOME"},
        {root / "a/udpphone", root / "missing.au", "cannot read the sample tone"},
        {root / "b/udpphone", root, "cannot read the sample tone"},  // a folder, not a tone
        {root / "file/udpphone", tone, "Not a directory"},
        {root / "file/c/udpphone", tone, "Not a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder.string());
        const auto prepared = voice::PrepareFolder(c.folder, c.tone);
        EXPECT_EQ(prepared.outcome, FolderOutcome::Failed);
        EXPECT_NE(prepared.problem.find(c.problem), std::string::npos) << prepared.problem;
        EXPECT_FALSE(fs::exists(c.folder));
    }
    // The missing parents stay (they are empty), but no unfinished voice folder.
    EXPECT_EQ(Left(), (std::vector<std::string>{"a", "b", "file"}));
}

TEST_F(VoiceFolderTest, AFullDiskLeavesNoFolderAndTheNextStartTriesAgain) {
    if (!InTestNamespace()) {
        GTEST_SKIP() << "needs the test namespace's private mounts";
    }
    ASSERT_FALSE(root.empty());
    const fs::path disk = root / "disk";
    fs::create_directory(disk);
    ASSERT_EQ(::mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=16k"), 0)
        << std::strerror(errno);
    const auto prepared = voice::PrepareFolder(disk / "udpphone", tone);  // 70,000 bytes
    EXPECT_EQ(prepared.outcome, FolderOutcome::Failed);
    EXPECT_NE(prepared.problem.find("No space left"), std::string::npos) << prepared.problem;
    EXPECT_TRUE(fs::is_empty(disk));
    ASSERT_EQ(::umount2(disk.c_str(), MNT_DETACH), 0);
    EXPECT_EQ(voice::PrepareFolder(disk / "udpphone", tone).outcome, FolderOutcome::Created);
}

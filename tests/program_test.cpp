// The real program, on a virtual display of the test's own.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "support/EventWaits.h"
#include "support/PhoneCalls.h"

using namespace std::chrono_literals;
using testsupport::Request;
using testsupport::UdpPeer;
using testsupport::WaitFor;

namespace {

const QString kFatalTitle = "アプリケーション エラー";

bool Installed(const char* path) {
    return ::access(path, X_OK) == 0;
}

// Whether a socket is bound to 0.0.0.0:20080 in this network namespace.
bool Listening20080() {
    QFile table("/proc/net/udp");
    return table.open(QIODevice::ReadOnly) && table.readAll().contains(" 00000000:4E70 ");
}

// Whether `program` holds a socket connected to the namespace's resolver at 127.0.0.53:53: one
// of its lookups has been asked and waits for the answer.
bool AsksTheResolver(const QProcess& program) {
    std::set<std::string> inodes;  // of its sockets, whose links read "socket:[INODE]"
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator(
             "/proc/" + std::to_string(program.processId()) + "/fd", error)) {
        const std::string target = std::filesystem::read_symlink(fd, error).string();
        if (target.starts_with("socket:[")) {
            inodes.insert(target.substr(8, target.size() - 9));
        }
    }
    std::ifstream table("/proc/net/udp");
    for (std::string line; std::getline(table, line);) {
        std::istringstream columns(line);
        std::string column[10];
        for (std::string& c : column) {
            columns >> c;
        }
        if (column[2] == "3500007F:0035" && inodes.contains(column[9])) {
            return true;
        }
    }
    return false;
}

class ProgramTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (Installed("/usr/bin/Xvfb") && Installed("/usr/bin/xdotool")) {
            // The server picks a free display and writes its number to standard output.
            display_ = new QProcess;
            // No reset when the last client leaves: the next program, started at that moment, would
            // find the server closed.
            display_->start("/usr/bin/Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-noreset"});
            if (WaitFor([] { return display_->canReadLine(); }, 10s)) {
                displayName_ = ":" + QString(display_->readLine()).trimmed();
                environment_.insert("DISPLAY", displayName_);
                environment_.insert("QT_QPA_PLATFORM", "xcb");
            }
        }
    }

    static void TearDownTestSuite() { delete display_; }  // stops the server

    void SetUp() override {
        if (displayName_.isEmpty()) {
            GTEST_SKIP() << "needs Xvfb and xdotool, and the display they make";
        }
        // The previous test's programs may still be going away.
        ASSERT_TRUE(WaitFor([] { return !Listening20080(); }, 10s))
            << "port 20080 is taken before the test";
    }

    // The programs are killed, if still running, when the test ends.
    QProcess& Start(const QString& program = UDPPHONE_EXECUTABLE,
                    const QStringList& arguments = {}) {
        programs_.push_back(std::make_unique<QProcess>());
        programs_.back()->setProcessEnvironment(environment_);
        programs_.back()->start(program, arguments);
        EXPECT_TRUE(programs_.back()->waitForStarted(5000));
        return *programs_.back();
    }

    static void Signal(QProcess& program, int signalNumber) {
        ::kill(static_cast<pid_t>(program.processId()), signalNumber);
    }

    // A tool's standard output; empty when it failed.
    static QString Tool(const QString& tool, const QStringList& arguments) {
        QProcess process;
        process.setProcessEnvironment(environment_);
        process.start(tool, arguments);
        const bool done = process.waitForFinished(5000) && process.exitCode() == 0;
        return done ? QString::fromUtf8(process.readAllStandardOutput()).trimmed() : QString();
    }

    // The windows of `owner` titled exactly `title`.
    static QStringList Windows(const QString& title, const QProcess& owner) {
        const QString found = Tool("/usr/bin/xdotool",
                                   {"search", "--all", "--pid", QString::number(owner.processId()),
                                    "--name", "^" + title + "$"});
        return found.isEmpty() ? QStringList() : found.split('\n');
    }

    // Generous: a loaded machine running other suites beside this one starts programs slowly.
    // A failure says what became of the program, which a bare timeout would hide.
    static ::testing::AssertionResult WaitForWindow(const QString& title, QProcess& owner) {
        bool shown = false;
        WaitFor(
            [&] {
                shown = !Windows(title, owner).isEmpty();
                return shown || owner.state() != QProcess::Running;
            },
            30s);
        if (shown) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "no window \"" << title.toStdString() << "\"; the program is "
               << (owner.state() == QProcess::Running
                       ? std::string("running")
                       : "ended with " + std::to_string(owner.exitCode()))
               << "; its standard error: " << owner.readAllStandardError().toStdString();
    }

    // Replaces the text of the field whose centre is at `x`, `y` in the window's client area.
    static void TypeInto(const QString& window, const QString& x, const QString& y,
                         const QString& text) {
        Tool("/usr/bin/xdotool", {"windowfocus", "--sync", window});
        Tool("/usr/bin/xdotool", {"mousemove", "--window", window, x, y, "click", "1"});
        Tool("/usr/bin/xdotool", {"key", "--clearmodifiers", "ctrl+a"});
        Tool("/usr/bin/xdotool", {"type", "--delay", "20", text});
    }

    static bool EndsWith(QProcess& program, int exitCode) {
        return WaitFor([&] { return program.state() == QProcess::NotRunning; }, 10s) &&
               program.exitStatus() == QProcess::NormalExit && program.exitCode() == exitCode;
    }

    static inline QProcess* display_ = nullptr;
    static inline QString displayName_;
    static inline QProcessEnvironment environment_ = QProcessEnvironment::systemEnvironment();
    std::vector<std::unique_ptr<QProcess>> programs_;
};

}  // namespace

TEST_F(ProgramTest, ListensOn20080AndEndsWithZeroOnEveryQuitSignal) {
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        QProcess& program = Start();
        ASSERT_TRUE(WaitFor(Listening20080, 10s));
        ASSERT_TRUE(WaitForWindow("Form1", program));
        Signal(program, signalNumber);
        EXPECT_TRUE(EndsWith(program, 0));
        EXPECT_FALSE(Listening20080());
    }
    // Started with hang-ups ignored, as under nohup, the program keeps ignoring them.
    QProcess& immune = Start("/bin/sh", {"-c", "trap '' HUP; exec \"$0\"", UDPPHONE_EXECUTABLE});
    ASSERT_TRUE(WaitForWindow("Form1", immune));
    Signal(immune, SIGHUP);
    testsupport::Pump(300ms);
    EXPECT_EQ(immune.state(), QProcess::Running);
    Signal(immune, SIGTERM);
    EXPECT_TRUE(EndsWith(immune, 0));
}

TEST_F(ProgramTest, SecondCopyEndsThroughTheFatalReport) {
    QProcess& first = Start();
    ASSERT_TRUE(WaitForWindow("Form1", first));

    QProcess& second = Start();
    ASSERT_TRUE(WaitForWindow(kFatalTitle, second));
    EXPECT_TRUE(Windows("Form1", second).isEmpty()) << "the window came before the box";
    const QString box = Windows(kFatalTitle, second).first();
    Tool("/usr/bin/xdotool", {"windowfocus", "--sync", box});
    Tool("/usr/bin/xdotool", {"key", "--window", box, "Return"});
    EXPECT_TRUE(EndsWith(second, 1));
    const QString text = QString::fromUtf8(second.readAllStandardError());
    EXPECT_TRUE(text.contains(QRegularExpression(
        "(^|\n)EReadErrorがモジュール udpphone の [0-9A-F]{8} "
        "で発生しました。\nUDPSock\\.LocalPort "
        "の読み込み中のエラー : Cannot bind UDP port 20080: Address already in use\\.\n")))
        << text.toStdString();

    // A termination request while the box is open ends the failed start-up all the same.
    QProcess& third = Start();
    ASSERT_TRUE(WaitForWindow(kFatalTitle, third));
    Signal(third, SIGTERM);
    EXPECT_TRUE(EndsWith(third, 1));

    EXPECT_EQ(first.state(), QProcess::Running);
    Signal(first, SIGTERM);
    EXPECT_TRUE(EndsWith(first, 0));
}

TEST_F(ProgramTest, RenamedExecutableChangesTheIconTextButNotTheCaption) {
    if (!Installed("/usr/bin/xprop")) {
        GTEST_SKIP() << "needs xprop to read the icon text";
    }
    // A hard link beside the original, so that it is on the same file system.
    QTemporaryDir directory(QFileInfo(UDPPHONE_EXECUTABLE).absolutePath() + "/renamed-XXXXXX");
    const QString renamed = directory.filePath("MyPhone.bin");
    ASSERT_EQ(::link(UDPPHONE_EXECUTABLE, renamed.toLocal8Bit().constData()), 0);

    QProcess& program = Start(renamed);
    ASSERT_TRUE(WaitForWindow("Form1", program));
    const QString properties = Tool("/usr/bin/xprop", {"-id", Windows("Form1", program).first(),
                                                       "_NET_WM_ICON_NAME", "_NET_WM_NAME"});
    EXPECT_TRUE(properties.contains("_NET_WM_ICON_NAME(UTF8_STRING) = \"Myphone\""));
    EXPECT_TRUE(properties.contains("_NET_WM_NAME(UTF8_STRING) = \"Form1\""))
        << properties.toStdString();
    Signal(program, SIGTERM);
    EXPECT_TRUE(EndsWith(program, 0));
}

// A quit signal while a send waits for a lookup that then fails: the failure goes to standard
// error instead of a box, and the program ends with 0 once the wait has unwound, even when a box
// was already open inside the wait.
TEST_F(ProgramTest, AQuitSignalDuringAFailingLookupNeverWaitsForABox) {
    if (!testsupport::InTestNamespace()) {
        GTEST_SKIP() << "needs the test namespace's resolver";
    }
    for (const bool boxAlreadyOpen : {false, true}) {
        SCOPED_TRACE(boxAlreadyOpen ? "a box open inside the wait" : "no box open");
        QProcess& program = Start();
        ASSERT_TRUE(WaitForWindow("Form1", program));
        ASSERT_TRUE(WaitFor(Listening20080, 10s));
        const QString window = Windows("Form1", program).first();
        UdpPeer caller("127.0.0.1"), third("127.0.0.2");
        // An accepted Ring first puts the caller's loopback address into eIP, so that no reply can
        // go to the address the window starts with, whatever becomes of the typing.
        caller.SendTo(Request(1, 1, 5), "127.0.0.1", 20080);
        testsupport::Pump(200ms);
        TypeInto(window, "68", "18", "delay-2000.quit.invalid");
        // A Talk from another host than eIP is refused; its reply waits for the lookup of eIP.
        third.SendTo(Request(1, 1, 7), "127.0.0.1", 20080);
        ASSERT_TRUE(WaitFor([&] { return AsksTheResolver(program); }, 10s));
        if (boxAlreadyOpen) {
            // A second reply waits inside the first one's wait and fails after it: its box opens
            // while the first send, its answer in, still waits to unwind.
            third.SendTo(Request(2, 1, 7), "127.0.0.1", 20080);
            ASSERT_TRUE(WaitForWindow("udpphone", program));
        }
        Signal(program, SIGTERM);
        EXPECT_TRUE(EndsWith(program, 0));
        const QString errors = QString::fromUtf8(program.readAllStandardError());
        EXPECT_TRUE(errors.contains("udpphone: Host Lookup Canceled.\n")) << errors.toStdString();
    }
}

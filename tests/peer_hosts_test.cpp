// The peer against the real udpphone on two hosts of the test's own: two network namespaces
// joined by a veth pair, nothing else reachable. The program runs on the offscreen platform.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>

#include "support/EventWaits.h"
#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

const char* const kTools[] = {"/usr/bin/unshare", "/usr/bin/nsenter", "/usr/sbin/ip"};

std::string NetworkNamespace(qint64 pid) {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/ns/net", error);
}

class TwoHostsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!InTestNamespace()) {
            GTEST_SKIP() << "makes network namespaces of its own only inside the test namespace "
                            "(not with UDPPHONE_TEST_ON_HOST)";
        }
        for (const char* tool : kTools) {
            if (::access(tool, X_OK) != 0) {
                GTEST_SKIP() << "needs " << tool;
            }
        }
        const std::string own = NetworkNamespace(::getpid());
        for (auto& holder : holders_) {
            // Bounded, so that even a killed test cannot leave a host behind for long.
            holder = std::make_unique<QProcess>();
            holder->start(kTools[0], {"--net", "--", "sleep", "300"});
            holder->waitForStarted(5000);
            if (!WaitFor([&] {
                    const std::string other = NetworkNamespace(holder->processId());
                    return (!other.empty() && other != own) ||
                           holder->state() == QProcess::NotRunning;
                }) ||
                holder->state() != QProcess::Running) {
                GTEST_SKIP() << "cannot make a network namespace here: "
                             << holder->readAllStandardError().toStdString();
            }
        }
        const std::string link =
            Tool({"ip", "link", "add", "veth-pa", "type", "veth", "peer", "name", "veth-pb"});
        if (!link.empty()) {
            GTEST_SKIP() << "cannot make a veth pair here: " << link;
        }
        for (int host = 0; host < 2; ++host) {
            const QString device = host == 0 ? "veth-pa" : "veth-pb";
            ASSERT_EQ(Tool({"ip", "link", "set", device, "netns", Pid(host)}), "");
            for (const QStringList& step :
                 {QStringList{"ip", "link", "set", "lo", "up"},
                  QStringList{"ip", "addr", "add", Address(host) + "/24", "dev", device},
                  QStringList{"ip", "link", "set", device, "up"}}) {
                ASSERT_EQ(Tool(OnHost(host) + step), "");
            }
        }
    }

    // Empty when the command succeeded, otherwise what it said.
    static std::string Tool(const QStringList& command) {
        QProcess process;
        process.start(command.first() == "ip" ? kTools[2] : command.first(), command.mid(1));
        const bool ok = process.waitForFinished(10000) &&
                        process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        return ok ? "" : "failed: " + process.readAllStandardError().toStdString();
    }
    QString Pid(int host) const { return QString::number(holders_[host]->processId()); }
    static QString Address(int host) { return host == 0 ? "10.231.8.1" : "10.231.8.2"; }
    QStringList OnHost(int host) const { return {kTools[1], "--target", Pid(host), "--net", "--"}; }

    std::unique_ptr<QProcess> holders_[2];
};

}  // namespace

TEST_F(TwoHostsTest, PeerCallsTheRealProgramOnAnotherHost) {
    QTemporaryDir directory;
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("XDG_RUNTIME_DIR", directory.path());
    program.setProcessEnvironment(environment);
    // nsenter runs the program in its own process, so its id is the program's.
    program.start(kTools[1], OnHost(1).mid(1) + QStringList{UDPPHONE_EXECUTABLE});
    ASSERT_TRUE(program.waitForStarted(5000));
    const QString table = "/proc/" + QString::number(program.processId()) + "/net/udp";
    ASSERT_TRUE(WaitFor(
        [&] {
            QFile udp(table);
            return udp.open(QIODevice::ReadOnly) && udp.readAll().contains(" 00000000:4E70 ");
        },
        30s))
        << "the program does not listen on 20080: " << program.readAllStandardError().toStdString();

    WriteFile(directory.filePath("voice").toStdString(), Pattern(2'000, 8));
    // The first datagram the program gets is a Ring while idle: it replaces the program's
    // starting eIP with the caller's address before it sends anything.
    const PeerResult call = RunPeer(
        {"call", Address(1), "--bind", Address(0), "--play", directory.filePath("voice"), "--json"},
        60s, OnHost(0));
    ASSERT_EQ(call.exitCode, 0) << call.out << call.err;
    std::vector<int> replies;
    for (const auto& line : call.Datagrams("in")) {
        EXPECT_EQ(line["peer"], "10.231.8.2:20080");
        replies.push_back(line["command"].get<int>() * 10 + line["status"].get<int>());
    }
    EXPECT_EQ(replies, (std::vector<int>{51, 71, 91}));  // Ring, Talk, Disconnect, each taken
    EXPECT_EQ(call.summary["voice_sent"], 5);

    // The program's rules from another host too: an unknown command is refused, a short
    // datagram ignored.
    const QStringList send = {"send", Address(1), "--bind", Address(0), "--timeout", "500"};
    EXPECT_EQ(RunPeer(send + QStringList{"--command", "6", "--expect-status", "2"}, 60s, OnHost(0))
                  .exitCode,
              0);
    EXPECT_EQ(RunPeer(send + QStringList{"--hex", "7a656c6b01", "--expect-status", "none"}, 60s,
                      OnHost(0))
                  .exitCode,
              0);

    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
}

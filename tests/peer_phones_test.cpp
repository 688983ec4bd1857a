// answer --phones: many phones at once, each with its own calls, state, Seq and voice; the --bind
// range; what cannot be run. On 127.0.29.x, ports 24xxx.

#include <gtest/gtest.h>
#include <signal.h>

#include <QTemporaryDir>
#include <array>
#include <chrono>
#include <memory>
#include <set>

#include "phone/PhoneDatagram.h"
#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"
#include "support/UdpPeer.h"

using namespace testsupport;

namespace {

class PeerPhonesTest : public ::testing::Test {
  protected:
    QString Path(const char* name) const { return directory.filePath(name); }
    QTemporaryDir directory;
};

// A request from `caller` to `address`:`port`; the reply's status, -1 for none.
int Ask(UdpPeer& caller, const std::string& address, std::uint16_t port,
        phone::Command command = phone::CmdRing) {
    std::array<std::uint8_t, phone::kRequestSize> request{};
    phone::BuildRequest(request, command, 1, 1);
    caller.SendTo(request, address, port);
    const auto reply = caller.Receive();
    if (!reply || reply->fromPort != port || reply->fromAddress != address) {
        return -1;
    }
    return phone::ReadHeader(reply->bytes).Status;
}

std::set<std::string> PhonesOfCalls(const nlohmann::json& summary) {
    std::set<std::string> phones;
    for (const auto& call : summary["calls"]) {
        phones.insert(call["phone"].get<std::string>());
    }
    return phones;
}

}  // namespace

TEST_F(PeerPhonesTest, PhonesAnswerCallsAtOnceEachWithItsOwnVoiceAndFigures) {
    // 13 chunks from each caller, 9 back from each phone.
    WriteFile(Path("a").toStdString(), Pattern(5'001, 1));
    WriteFile(Path("b").toStdString(), Pattern(3'333, 2));
    constexpr int kPhones = 4;
    PeerProcess answer({"answer", "--bind", "127.0.29.1", "--local-port", "24001", "--phones",
                        QString::number(kPhones), "--reply-to-sender", "--play", Path("b"),
                        "--expect-voice", Path("a"), "--count", "12", "--duration", "30", "--json",
                        "--quiet"});
    ASSERT_TRUE(answer.WaitUntilAnswering());
    std::vector<std::unique_ptr<PeerProcess>> callers;
    for (int i = 0; i < kPhones; ++i) {
        const QString record = Path("got") + QString::number(i);
        callers.push_back(std::make_unique<PeerProcess>(QStringList{
            "call", "127.0.29.1:" + QString::number(24001 + i), "--bind", "127.0.29.2",
            "--local-port", QString::number(24101 + i), "--play", Path("a"), "--record", record,
            "--expect-voice", Path("b"), "--talk-seconds", "1", "--json", "--quiet"}));
    }
    for (int i = 0; i < kPhones; ++i) {
        const PeerResult call = callers[static_cast<std::size_t>(i)]->Finish();
        ASSERT_EQ(call.exitCode, 0) << call.out << call.err;
        // Its own phone's voice, whole and numbered by that phone alone.
        EXPECT_EQ(ReadFile((Path("got") + QString::number(i)).toStdString()), Pattern(3'333, 2));
        EXPECT_EQ(call.summary["voice_received"], 9);
        EXPECT_EQ(call.summary["seq_gaps"], 0);
        EXPECT_EQ(call.summary["seq_duplicates"], 0);
    }
    const PeerResult answered = answer.Finish();
    ASSERT_EQ(answered.exitCode, 0) << answered.out << answered.err;
    const nlohmann::json& summary = answered.summary;
    EXPECT_EQ(summary["phones"], kPhones);
    EXPECT_EQ(summary["calls_total"], kPhones);
    EXPECT_EQ(summary["voice_check"]["phones_checked"], kPhones);
    EXPECT_EQ(summary["voice_check"]["matched"], 13 * kPhones);
    ASSERT_EQ(summary["calls"].size(), static_cast<std::size_t>(kPhones));
    EXPECT_EQ(PhonesOfCalls(summary),
              (std::set<std::string>{"127.0.29.1:24001", "127.0.29.1:24002", "127.0.29.1:24003",
                                     "127.0.29.1:24004"}));
    // The totals are the calls' sums.
    for (const char* figure :
         {"voice_sent", "voice_received", "datagrams_sent", "datagrams_received", "replies_sent"}) {
        int sum = 0;
        for (const auto& call : summary["calls"]) {
            sum += call[figure].get<int>();
        }
        EXPECT_EQ(summary[figure], sum) << figure;
    }
    EXPECT_EQ(summary["voice_sent"], 9 * kPhones);
    EXPECT_EQ(summary["requests_received"], 3 * kPhones);
    // Spacing within each call's stream only: four streams interleaved would be milliseconds apart.
    for (const char* pacing : {"pacing_sent_ms", "pacing_received_ms"}) {
        EXPECT_GT(summary[pacing]["min"].get<double>(), 10) << pacing;
        EXPECT_LT(summary[pacing]["median"].get<double>(), 100) << pacing;
        for (const auto& call : summary["calls"]) {
            EXPECT_GT(call[pacing]["min"].get<double>(), 10) << pacing;
        }
    }
}

TEST_F(PeerPhonesTest, EachPhoneKeepsItsOwnCallState) {
    PeerProcess answer({"answer", "--bind", "127.0.29.3", "--local-port", "24011", "--phones", "2",
                        "--reply-to-sender", "--count", "5", "--duration", "20", "--json"});
    ASSERT_TRUE(answer.WaitUntilAnswering());
    UdpPeer first("127.0.29.4", 24111);
    UdpPeer second("127.0.29.5", 24112);
    EXPECT_EQ(Ask(first, "127.0.29.3", 24011), phone::StatusAccepted);
    EXPECT_EQ(Ask(first, "127.0.29.3", 24011, phone::CmdTalk), phone::StatusAccepted);
    // The first phone talks with its own caller: another's Ring and Talk are refused there,
    // while the second phone, idle, takes its own call.
    EXPECT_EQ(Ask(second, "127.0.29.3", 24011), phone::StatusRejected);
    EXPECT_EQ(Ask(second, "127.0.29.3", 24011, phone::CmdTalk), phone::StatusRejected);
    EXPECT_EQ(Ask(second, "127.0.29.3", 24012), phone::StatusAccepted);
    const PeerResult answered = answer.Finish();
    ASSERT_EQ(answered.exitCode, 0) << answered.out << answered.err;
    EXPECT_EQ(answered.summary["calls_total"], 2);
    ASSERT_EQ(answered.summary["calls"].size(), 2u);
    EXPECT_EQ(answered.summary["calls"][0]["phone"], "127.0.29.3:24011");
    EXPECT_EQ(answered.summary["calls"][0]["caller"], "127.0.29.4");
    EXPECT_EQ(answered.summary["calls"][0]["requests_received"], 4);
    EXPECT_EQ(answered.summary["calls"][1]["phone"], "127.0.29.3:24012");
    EXPECT_EQ(answered.summary["calls"][1]["caller"], "127.0.29.5");
}

TEST_F(PeerPhonesTest, BindRangeGivesOnePhonePerAddress) {
    PeerProcess answer({"answer", "--bind", "127.0.29.11-127.0.29.13", "--local-port", "24021",
                        "--reply-to-sender", "--count", "3", "--duration", "20", "--json"});
    ASSERT_TRUE(answer.WaitUntilAnswering());
    UdpPeer caller("127.0.29.20", 24121);
    for (const char* address : {"127.0.29.11", "127.0.29.12", "127.0.29.13"}) {
        EXPECT_EQ(Ask(caller, address, 24021), phone::StatusAccepted) << address;
    }
    const PeerResult answered = answer.Finish();
    ASSERT_EQ(answered.exitCode, 0) << answered.out << answered.err;
    EXPECT_EQ(answered.summary["phones"], 3);
    EXPECT_EQ(
        PhonesOfCalls(answered.summary),
        (std::set<std::string>{"127.0.29.11:24021", "127.0.29.12:24021", "127.0.29.13:24021"}));
}

TEST_F(PeerPhonesTest, WhatCannotBeRunEndsWithTwoBeforeAnythingIsSent) {
    // Something listens where every phone would send, and one port of the phones' is taken.
    UdpPeer listener("127.0.29.30", 24080);
    UdpPeer taken("127.0.29.31", 24033);
    WriteFile(Path("voice").toStdString(), Pattern(1'000, 3));
    const QStringList common = {"answer", "--peer",     "127.0.29.30", "--peer-port",
                                "24080",  "--duration", "5",           "--bind"};
    const struct {
        QStringList arguments;
        std::string message;
    } cases[] = {
        {{"127.0.29.31", "--phones", "0"}, "--phones: Value 0 not in range"},
        {{"127.0.29.31", "--local-port", "65000", "--phones", "600"},
         "--phones: 600 phones from port 65000 need ports past 65535"},
        {{"127.0.29.32-127.0.29.31"}, "holds no address: 127.0.29.32 comes after 127.0.29.31"},
        {{"127.0.29.31-"}, "is not an address or a range"},
        {{"127.0.29.31-127.0.29.33", "--phones", "2"},
         "--phones: 2 phones, but the --bind range holds 3 addresses"},
        {{"127.0.29.31", "--phones", "2", "--record", Path("r")}, "--record: writes one call's"},
        {{"127.0.29.31", "--phones", "2", "--save", Path("s")}, "--save: writes one call's"},
        {{"127.0.29.31", "--phones", "2", "--jitter", "5"}, "impairments take one phone only"},
        {{"127.0.29.31", "--local-port", "24031", "--phones", "4", "--play", Path("voice")},
         "cannot bind UDP 127.0.29.31:24033: Address already in use"},
    };
    for (const auto& c : cases) {
        const PeerResult run = RunPeer(common + c.arguments);
        const std::string shown = c.arguments.join(' ').toStdString();
        EXPECT_EQ(run.exitCode, 2) << shown;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << shown << ": " << run.err;
    }
    EXPECT_TRUE(listener.Drain().empty());
    EXPECT_TRUE(taken.Drain().empty());
}

TEST_F(PeerPhonesTest, ASignalEndsManyPhonesAtOnce) {
    PeerProcess answer(Words("answer --bind 127.0.29.40 --local-port 24040 --phones 200 --json"));
    ASSERT_TRUE(answer.WaitUntilAnswering());
    const auto signalled = std::chrono::steady_clock::now();
    answer.Signal(SIGTERM);
    const PeerResult run = answer.Finish();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(500));
    // Without an end condition a signal is how it ends: a pass.
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.summary["phones"], 200);
}

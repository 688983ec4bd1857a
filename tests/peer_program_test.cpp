// udpphone-peer as a program: a call between two peers, the checks before anything is sent,
// malformed datagrams, load. Each test on loopback addresses of its own.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <filesystem>
#include <numeric>

#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"

using namespace testsupport;

namespace {

class PeerProgramTest : public ::testing::Test {
  protected:
    QString Path(const char* name) const { return directory.filePath(name); }
    QTemporaryDir directory;
};

std::vector<int> Field(const std::vector<nlohmann::json>& lines, const char* name) {
    std::vector<int> values;
    for (const auto& line : lines) {
        values.push_back(line.value(name, -1));
    }
    return values;
}

}  // namespace

TEST_F(PeerProgramTest, CallAgainstAnswerCarriesBothFilesByteForByte) {
    // Sizes that end in a short chunk: 13 chunks one way, 9 the other.
    WriteFile(Path("a").toStdString(), Pattern(5'001, 1));
    WriteFile(Path("b").toStdString(), Pattern(3'333, 2));
    PeerProcess answer({"answer", "--bind", "127.0.8.11", "--local-port", "21101", "--peer-port",
                        "21102", "--play", Path("b"), "--record", Path("got-a"), "--until",
                        "disconnect", "--duration", "30", "--json"});
    ASSERT_TRUE(answer.WaitUntilAnswering());
    const PeerResult call =
        RunPeer({"call", "127.0.8.11:21101", "--bind", "127.0.8.12", "--local-port", "21102",
                 "--play", Path("a"), "--record", Path("got-b"), "--talk-seconds", "3", "--json"});
    const PeerResult answered = answer.Finish();
    ASSERT_EQ(call.exitCode, 0) << call.out << call.err;
    ASSERT_EQ(answered.exitCode, 0) << answered.out << answered.err;
    EXPECT_EQ(ReadFile(Path("got-a").toStdString()), Pattern(5'001, 1));
    EXPECT_EQ(ReadFile(Path("got-b").toStdString()), Pattern(3'333, 2));

    // One counter for requests and voice: Ring 1, Talk 2, voice 3 to 15, Disconnect 16.
    const auto sent = call.Datagrams("out");
    ASSERT_EQ(sent.size(), 16u);
    std::vector<int> seqs(16);
    std::iota(seqs.begin(), seqs.end(), 1);
    EXPECT_EQ(Field(sent, "seq"), seqs);
    EXPECT_EQ(Field(sent, "command"),
              (std::vector<int>{5, 7, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 9}));
    EXPECT_EQ(sent[14]["length"], 201);
    EXPECT_EQ(sent[0]["hex"], "7a656c6b0100010005000000");
    for (const auto& reply : call.Datagrams("in")) {
        EXPECT_EQ(reply["peer"], "127.0.8.11:21101");
        if (reply["kind"] == "reply") {
            EXPECT_EQ(reply["status"], 1);
        }
    }
    EXPECT_EQ(call.summary["requests_answered"], 3);
    EXPECT_EQ(call.summary["voice_sent"], 13);
    EXPECT_EQ(call.summary["voice_received"], 9);
    EXPECT_EQ(answered.summary["voice_received"], 13);
    EXPECT_EQ(answered.summary["replies_sent"], 3);
    for (const auto* summary : {&call.summary, &answered.summary}) {
        EXPECT_EQ((*summary)["verdict"], "pass");
        EXPECT_EQ((*summary)["seq_gaps"], 0);
        EXPECT_EQ((*summary)["seq_duplicates"], 0);
        EXPECT_EQ((*summary)["seq_reordered"], 0);
        // Spacing as it came: near the period, whatever load the machine carries.
        const double median = (*summary)["pacing_received_ms"]["median"];
        EXPECT_GT(median, 30);
        EXPECT_LT(median, 100);
    }
}

TEST_F(PeerProgramTest, WhatCannotBeUsedEndsWithTwoBeforeAnythingIsSent) {
    UdpPeer listener("127.0.8.21", 21201);
    const QString host = "127.0.8.21:21201";
    const QString bind[] = {"--bind", "127.0.8.22", "--local-port", "21202"};
    // Files of every kind: a voice file and a second name of it, an empty one, a pipe (whose
    // open would wait for a writer), a device, a folder; a scenario that streams the voice file.
    const Bytes voice = Pattern(1'000, 4);
    WriteFile(Path("voice").toStdString(), voice);
    std::filesystem::create_hard_link(Path("voice").toStdString(), Path("also").toStdString());
    WriteFile(Path("empty").toStdString(), {});
    ASSERT_EQ(::mkfifo(Path("fifo").toLocal8Bit().constData(), 0600), 0);
    const std::string streams = "stream voice\n";
    WriteFile(Path("streams.scenario").toStdString(), Bytes(streams.begin(), streams.end()));
    const QString scenario = Path("streams.scenario");
    const struct {
        QStringList arguments;
        QString message;
    } cases[] = {
        {{"call", "127.0.8.21:70000"}, "HOST: the port"},
        {{"call", host, "--local-port", "70000"}, "--local-port: Value 70000"},
        {{"call", host, "--target", "70000"}, "--target: \"70000\" is not a number"},
        {{"send", host, "--timeout", "0"}, "--timeout: Value 0"},
        {{"load", host, "--rate", "0"}, "--rate: Value 0"},
        {{"send", host, "--command", "dial"}, "--command: \"dial\""},
        {{"send", host, "--hex", "7a6"}, "--hex: odd number of hex digits"},
        {{"send", host, "--hex", "7a", "--size", "3"}, "--size excludes --hex"},
        {{"answer", "--peer", "peer2.test"}, "--peer: \"peer2.test\" is not a dotted"},
        {{"answer", "--peer", "127.0.0.01"}, "--peer: \"127.0.0.01\" is not a dotted"},
        {{"answer", "--until", "forever"}, "--until: forever"},
        {{"send"}, "HOST is required"},
        {{"call", host, "--play", Path("missing")}, "--play: cannot open"},
        {{"call", host, "--record", Path("no/such/dir")}, "--record: cannot open"},
        {{"call", host, "--save", Path("line\nbreak")},
         "--save: the name given to --save holds a line break"},
        {{"send", host, "--payload-file", Path("missing")}, "--payload-file: File does not exist"},
        {{"answer", "--bind", "127.0.8.21", "--local-port", "21201"},
         "cannot bind UDP 127.0.8.21:21201: Address already in use"},
        // --play and scenarios: regular files, and --play one with something in it.
        {{"call", host, "--play", Path("fifo")}, "--play: \"" + Path("fifo") + "\" is a pipe"},
        {{"call", host, "--play", "/dev/zero"}, "is a character device; --play takes a regular"},
        {{"call", host, "--play", directory.path()}, "--play: cannot use"},
        {{"call", host, "--play", Path("empty")}, "is empty: there is no voice to stream"},
        {{"run", Path("fifo"), host}, "SCENARIO: \"" + Path("fifo") + "\" is a pipe"},
        // --record and --pcap: a file, a pipe or standard output, nothing else; --save a file.
        {{"call", host, "--record", "/dev/null"}, "--record: \"/dev/null\" is a character device"},
        {{"send", host, "--pcap", "/dev/null"}, "--pcap: \"/dev/null\" is a character device"},
        {{"call", host, "--save", Path("fifo")}, "--save: \"" + Path("fifo") + "\" is a pipe"},
        {{"call", host, "--save", "-"}, "--save: - is not standard output here"},
        // One file for two roles, by any name; a file still to be made counts too.
        {{"call", host, "--play", Path("voice"), "--record", Path("voice")},
         "--play and --record name the same file"},
        {{"call", host, "--play", Path("voice"), "--save", Path("also")},
         "--play and --save name the same file"},
        {{"call", host, "--record", Path("new"), "--pcap", directory.path() + "/./new"},
         "--record and --pcap name the same file"},
        {{"answer", "--save", Path("saved"), "--pcap", Path("saved.voice")},
         "--save and --pcap name the same file"},
        {{"answer", "--record", Path("new"), "--save", Path("new")},
         "--record and --save name the same file"},
        {{"run", scenario, host, "--pcap", scenario}, "SCENARIO and --pcap name the same file"},
        {{"run", scenario, host, "--pcap", Path("also")}, "--pcap and stream name the same file"},
        {{"call", host, "--record", "-", "--pcap", "-"},
         "--record and --pcap cannot both write to standard output"},
        // The voice check reads a file with voice in it, and never one being recorded.
        {{"call", host, "--record", Path("voice"), "--expect-voice", Path("also")},
         "--record and --expect-voice name the same file"},
        {{"answer", "--expect-voice", Path("empty")},
         "--expect-voice: \"" + Path("empty") + "\" is empty"},
        {{"run", scenario, host, "--expect-voice", Path("fifo")},
         "--expect-voice: \"" + Path("fifo") + "\" is a pipe"},
        {{"call", host, "--allow-missing", "5"}, "--allow-missing requires --expect-voice"},
        {{"load", host, "--junit", Path("fifo")}, "--junit: \"" + Path("fifo") + "\" is a pipe"},
        {{"send", host, "--junit", Path("no/such/dir")}, "--junit: cannot open"},
        {{"answer", "--interval", "0"}, "--interval: Value 0 is not more than 0"},
    };
    for (const auto& c : cases) {
        QStringList arguments = c.arguments;
        if (arguments.first() != "answer") {
            arguments << bind[0] << bind[1] << bind[2] << bind[3];
        }
        const PeerResult run = RunPeer(arguments);
        EXPECT_EQ(run.exitCode, 2) << arguments.join(' ').toStdString();
        EXPECT_NE(run.err.find(c.message.toStdString()), std::string::npos)
            << arguments.join(' ').toStdString() << ": " << run.err;
    }
    if (InTestNamespace()) {
        const PeerResult lookup =
            RunPeer({"call", "nohost.invalid:21201", bind[0], bind[1], bind[2], bind[3]});
        EXPECT_EQ(lookup.exitCode, 2);
        EXPECT_NE(lookup.err.find("cannot resolve \"nohost.invalid\""), std::string::npos)
            << lookup.err;
    }
    EXPECT_TRUE(listener.Drain().empty());
    EXPECT_EQ(ReadFile(Path("voice").toStdString()), voice);  // never opened to be written
    EXPECT_FALSE(std::filesystem::exists(Path("new").toStdString()));

    const PeerResult help = RunPeer({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* command : {"answer", "call", "send", "load"}) {
        EXPECT_NE(help.out.find(std::string("\n  ") + command + " "), std::string::npos);
    }
}

TEST_F(PeerProgramTest, NanAndInfinityAreRefusedByEveryFloatingPointOption) {
    UdpPeer listener("127.0.8.23", 21203);
    const QString host = "127.0.8.23:21203";
    const QString scenario = UDPPHONE_SOURCE_DIR "/scenarios/full-call.scenario";
    const struct {
        QStringList command;
        const char* option;
    } options[] = {
        {{"answer"}, "--duration"},
        {{"call", host}, "--talk-seconds"},
        {{"load", host}, "--rate"},
        {{"load", host}, "--duration"},
        {{"load", host}, "--min-answered"},
        {{"answer"}, "--drop"},
        {{"call", host}, "--duplicate"},
        {{"run", scenario, host}, "--reorder"},
        {{"answer"}, "--jitter"},
        {{"call", host}, "--interval"},
        {{"run", scenario, host}, "--allow-missing"},
    };
    for (const auto& o : options) {
        for (const char* value : {"nan", "inf", "-inf"}) {
            const QString given = QString(o.option) + "=" + value;
            const PeerResult run = RunPeer(
                o.command + QStringList{given, "--bind", "127.0.8.24", "--local-port", "21204"});
            EXPECT_EQ(run.exitCode, 2) << given.toStdString() << run.out;
            // One line that says why, not a range printed with three hundred digits.
            const std::string reason = run.err.substr(0, run.err.find('\n'));
            EXPECT_EQ(reason, o.option + std::string(": \"") + value + "\" is not a finite number")
                << o.command.first().toStdString();
        }
    }
    EXPECT_TRUE(listener.Drain().empty());
}

TEST_F(PeerProgramTest, MalformedDatagramsAreReportedAsTheWindowSeesThem) {
    WriteFile(Path("six").toStdString(), Pattern(6, 3));
    PeerProcess answer({"answer", "--bind", "127.0.8.31", "--local-port", "21301", "--peer",
                        "127.0.8.32", "--peer-port", "21302", "--record", Path("voice"), "--count",
                        "2", "--duration", "60", "--json"});
    ASSERT_TRUE(answer.WaitUntilAnswering());
    const struct {
        QStringList flags;
        const char* expect;  // the status the reply must carry, or none
        int exitCode;
    } sends[] = {
        {{"--hex", "7a"}, "none", 0},
        {{"--hex", ""}, "none", 0},
        {{"--hex="}, "none", 0},  // the same: not the next argument taken for the digits
        {{"--command", "ring", "--size", "13"}, "none", 0},
        {{"--magic", "Zelk"}, "none", 0},
        {{"--command", "voice", "--size", "3000"}, "none", 0},
        {{"--status", "1"}, "none", 0},
        // 20 bytes whose Length says 10: the 6 that came and 4 zeros are stored.
        {{"--command", "voice", "--payload-file", Path("six"), "--length", "10", "--size", "20"},
         "none",
         0},
        {{"--hex", "7a"}, "1", 1},  // a reply was wanted and none came
        {{"--command", "6"}, "2", 0},
        {{"--command", "ring", "--target", "-1"}, "1", 0},
    };
    for (const auto& send : sends) {
        // A reply that must come may take long on a loaded machine; where none may, 300 ms.
        const bool replyDue = send.exitCode == 0 && QString(send.expect) != "none";
        const PeerResult run =
            RunPeer(QStringList{"send", "127.0.8.31:21301", "--bind", "127.0.8.32", "--local-port",
                                "21302", "--timeout", replyDue ? "10000" : "300", "--expect-status",
                                send.expect, "--json"} +
                    send.flags);
        EXPECT_EQ(run.exitCode, send.exitCode) << send.flags.join(' ').toStdString() << run.out;
    }
    const PeerResult answered = answer.Finish();
    ASSERT_EQ(answered.exitCode, 0) << answered.out << answered.err;
    std::vector<std::string> seen;
    for (const auto& line : answered.Datagrams("in")) {
        seen.push_back(line["kind"].get<std::string>() + " " + line.value("reason", "") + " " +
                       std::to_string(line["size"].get<int>()));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "ignored shorter than 12 1", "ignored empty 0", "ignored empty 0",
                        "ignored longer than 12, not voice 13", "ignored not zelk 12",
                        "ignored over 2048 3000", "reply  12", "voice  20",
                        "ignored shorter than 12 1", "request  12", "request  12"}));
    EXPECT_EQ(ReadFile(Path("voice").toStdString()),
              (Bytes{Pattern(6, 3)[0], Pattern(6, 3)[1], Pattern(6, 3)[2], Pattern(6, 3)[3],
                     Pattern(6, 3)[4], Pattern(6, 3)[5], 0, 0, 0, 0}));
    const auto replies = answered.Datagrams("out");
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0]["hex"], "7a656c6b0100010006000200");
    EXPECT_EQ(replies[1]["hex"], "7a656c6b0100ffff05000100");
    EXPECT_EQ(answered.summary["ignored_received"]["over 2048"], 1);
}

TEST_F(PeerProgramTest, LoadCountsEveryReplyAndVoiceOnlyItsOwn) {
    PeerProcess answer({"answer", "--bind", "127.0.8.41", "--local-port", "21401",
                        "--reply-to-sender", "--quiet", "--json"});
    ASSERT_TRUE(answer.WaitUntilAnswering());
    const QStringList common = {"127.0.8.41:21401", "--bind", "127.0.8.42", "--local-port", "0",
                                "--quiet",          "--json"};
    const PeerResult rings =
        RunPeer(QStringList{"load"} + common +
                QStringList{"--rate", "2000", "--duration", "0.5", "--timeout", "10000"});
    const PeerResult voice =
        RunPeer(QStringList{"load"} + common +
                QStringList{"--kind", "voice", "--rate", "1000", "--duration", "0.2"});
    answer.Signal(SIGTERM);
    const PeerResult answered = answer.Finish();
    ASSERT_EQ(rings.exitCode, 0) << rings.out << rings.err;
    EXPECT_EQ(rings.summary["load"]["sent"], 1000);
    EXPECT_EQ(rings.summary["load"]["answered"], 1000);
    EXPECT_EQ(rings.summary["load"]["unmatched_replies"], 0);
    EXPECT_FALSE(rings.summary["reply_latency_ms"]["max"].is_null());
    EXPECT_EQ(rings.lines.size(), 1u);  // --quiet: the summary only
    ASSERT_EQ(voice.exitCode, 0) << voice.out << voice.err;
    EXPECT_EQ(voice.summary["voice_sent"], 200);
    EXPECT_TRUE(voice.summary["load"]["answered"].is_null());
    // Ended by the signal, the responder still tells what it saw; no end was asked: a pass.
    ASSERT_EQ(answered.exitCode, 0) << answered.out << answered.err;
    EXPECT_EQ(answered.summary["replies_sent"], 1000);
    EXPECT_EQ(answered.summary["voice_received"], 200);
    EXPECT_EQ(answered.summary["seq_gaps"], 0);
}

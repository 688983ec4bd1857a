// The Wireshark dissector over captures written by udpphone-peer: one table of datagrams and what
// tshark decodes of them, on port 20080 and, through the heuristic, on a port of no protocol;
// then thousands of random datagrams, decoded without an error and told apart exactly as the
// endpoint's own code tells them apart, also when the capture holds only their first bytes.
// The peer sends from a network namespace of the test's own, where port 20080 is free and
// nothing answers.

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <array>
#include <fstream>
#include <map>
#include <random>

#include "peer/DatagramLook.h"
#include "phone/CallRules.h"
#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"
#include "support/Tshark.h"

using namespace testsupport;

namespace {

// No dissector of Wireshark claims these (the test checks), so only the heuristic may.
constexpr int kSourcePort = 48210;
constexpr int kOtherPort = 48211;

const QString kErrors = "_ws.lua.error || _ws.malformed";
// Elsewhere other protocols' heuristics take some random datagrams, and may find them malformed.
const QString kOurErrors = "_ws.lua.error || (udpphone && _ws.malformed)";

const char* const kExperts[] = {
    "length_not_positive", "length_beyond", "voice_size",      "oversize",
    "magic_not_zelk",      "short",         "unknown_command", "not_captured"};

std::vector<std::string> Split(const std::string& row, char separator = '|') {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at; (at = row.find(separator, start)) != std::string::npos; start = at + 1) {
        parts.push_back(row.substr(start, at - start));
    }
    parts.push_back(row.substr(start));
    return parts;
}

Bytes Voice(int length, std::size_t size, int seq = 4) {
    return Zelk({seq, 1, 10, 0, length}, Pattern(size > 14 ? size - 14 : 0, 7), size);
}

// Twelve bytes: "z", then `magic`'s other three, then the header words.
Bytes WithMagic(const char* magic, std::initializer_list<int> words) {
    Bytes bytes = Zelk(words);
    std::copy(magic, magic + 4, bytes.begin());
    return bytes;
}

Bytes Sized(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

// The dissector's reason for what the endpoint drops, by the peer's name for it.
const std::map<std::string, std::string> kDropped = {
    {"not zelk", "first byte is not \"z\""},
    {"shorter than 12", "shorter than 12 bytes"},
    {"longer than 12, not voice", "longer than 12 bytes and not voice"},
    {"over 2048", "over 2048 bytes, the receive fails"},
};

class DissectorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const auto reason = TsharkUnusable()) {
            GTEST_SKIP() << *reason;
        }
        if (!InTestNamespace()) {
            GTEST_SKIP() << "sends from a network namespace of its own, made only inside the "
                            "test namespace (not with UDPPHONE_TEST_ON_HOST)";
        }
        ASSERT_TRUE(directory.isValid());
    }

    // `datagrams` sent to `port` in this order by one `udpphone-peer run`, captured by its --pcap.
    QString Capture(const std::string& name, const std::vector<Bytes>& datagrams, int port) {
        const QString scenario = directory.filePath(QString::fromStdString(name + ".scenario"));
        {
            std::ofstream out(scenario.toStdString());
            for (const Bytes& datagram : datagrams) {
                out << "send hex=" << HexOf(datagram) << "\n";
            }
        }
        const QString capture = directory.filePath(QString::fromStdString(name + ".pcapng"));
        // A loopback of its own: nothing else listens there, on 20080 or anywhere.
        const QStringList launcher = {
            "/usr/bin/unshare", "--net", "--",
            "/bin/sh",          "-c",    "/usr/sbin/ip link set lo up && exec \"$0\" \"$@\""};
        const PeerResult run = RunPeer(
            {"run", scenario, "127.0.0.3:" + QString::number(port), "--bind", "127.0.0.2",
             "--local-port", QString::number(kSourcePort), "--pcap", capture, "--json", "--quiet"},
            std::chrono::seconds(120), launcher);
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(run.summary["capture"]["datagrams"], datagrams.size()) << run.out;
        return capture;
    }

    // Nothing in the capture is a Lua error or malformed; on port 20080 nothing at all.
    static void ExpectNoErrors(const QString& capture, int port, const std::string& what) {
        EXPECT_EQ(TsharkFields(capture, {"frame.number", "frame.protocols", "_ws.expert.message"},
                               {"-Y", port == 20080 ? kErrors : kOurErrors}),
                  std::vector<std::string>())
            << what;
    }

    QTemporaryDir directory;
};

TEST_F(DissectorTest, ItsPortsBelongToNoOtherDissector) {
    const TsharkRun decodes = Tshark({"-G", "decodes"});
    for (const std::string& line : decodes.lines) {
        const auto parts = Split(line, '\t');
        if (parts.size() == 3 && parts[0] == "udp.port") {
            EXPECT_NE(parts[1], std::to_string(kSourcePort)) << line;
            EXPECT_NE(parts[1], std::to_string(kOtherPort)) << line;
            EXPECT_EQ(parts[1] == "20080", parts[2] == "udpphone") << line;
        }
    }
    EXPECT_GT(decodes.lines.size(), 100u) << decodes.errors;
}

TEST_F(DissectorTest, DecodesEveryShapeAsTheEndpointTellsThemApart) {
    enum class On { Port20080, OtherPort };
    struct Row {
        const char* what;
        On on;
        Bytes datagram;
        // Shape (reason), then the fields present; payload and unused as byte counts. Empty
        // when the datagram is not decoded as udpphone.
        const char* fields;
        const char* info;
        const char* experts;
    };
    const Row rows[] = {
        // Requests and replies, Command and Status by name.
        {"Ring", On::Port20080, Request(1, 1, 5), "request seq=1 target=1 command=5 status=0",
         "Ring request Seq=1 Target=1", ""},
        {"Talk accepted", On::Port20080, Request(2, 1, 7, 1),
         "reply seq=2 target=1 command=7 status=1", "Talk reply accepted Seq=2 Target=1", ""},
        {"HangUp rejected", On::Port20080, Request(65535, -1, 8, 2),
         "reply seq=65535 target=-1 command=8 status=2",
         "HangUp reply rejected Seq=65535 Target=-1", ""},
        {"any other Status is a reply", On::Port20080, Request(3, 1, 9, -7),
         "reply seq=3 target=1 command=9 status=-7", "Disconnect reply other Seq=3 Target=1", ""},
        {"unknown command", On::Port20080, Request(3, 2, 3),
         "request seq=3 target=2 command=3 status=0", "Command 3 request Seq=3 Target=2",
         "unknown_command"},
        {"12 bytes are never voice", On::Port20080, Request(3, 2, 10),
         "request seq=3 target=2 command=10 status=0", "Command 10 request Seq=3 Target=2",
         "unknown_command"},
        {"only the first byte of the magic counts", On::Port20080, WithMagic("zxyw", {1, 1, 5, 0}),
         "request seq=1 target=1 command=5 status=0", "Ring request Seq=1 Target=1",
         "magic_not_zelk"},
        {"first byte not z", On::Port20080, WithMagic("Zelk", {1, 1, 5, 0}),
         "dropped (first byte is not \"z\") unused=12", "Dropped: first byte is not \"z\"", ""},
        // Voice and what the endpoint writes of it.
        {"voice", On::Port20080, Voice(400, 416),
         "voice seq=4 target=1 command=10 status=0 length=400 written=400 zeros=0 payload=400 "
         "unused=2",
         "Voice Seq=4 Length=400", ""},
        {"voice from a short read", On::Port20080, Voice(100, 416),
         "voice seq=4 target=1 command=10 status=0 length=100 written=100 zeros=0 payload=100 "
         "unused=302",
         "Voice Seq=4 Length=100", ""},
        {"Length 0", On::Port20080, Voice(0, 416),
         "voice seq=4 target=1 command=10 status=0 length=0 written=0 zeros=0 unused=402",
         "Voice Seq=4 Length=0", "length_not_positive"},
        {"Length -1", On::Port20080, Voice(-1, 416),
         "voice seq=4 target=1 command=10 status=0 length=-1 written=0 zeros=0 unused=402",
         "Voice Seq=4 Length=-1", "length_not_positive"},
        {"20 bytes with Length 10", On::Port20080, Voice(10, 20),
         "voice seq=4 target=1 command=10 status=0 length=10 written=10 zeros=4 payload=6",
         "Voice Seq=4 Length=10", "length_beyond voice_size"},
        {"Length past 416 bytes", On::Port20080, Voice(500, 416),
         "voice seq=4 target=1 command=10 status=0 length=500 written=500 zeros=98 payload=402",
         "Voice Seq=4 Length=500", "length_beyond"},
        {"Length past the receive buffer", On::Port20080, Voice(32767, 416),
         "voice seq=4 target=1 command=10 status=0 length=32767 written=2034 zeros=1632 "
         "payload=402",
         "Voice Seq=4 Length=32767", "length_beyond"},
        {"13 bytes: Length's high byte reads as zero", On::Port20080, Voice(0x7705, 13),
         "voice seq=4 target=1 command=10 status=0 length=5 written=5 zeros=5",
         "Voice Seq=4 Length=5", "length_beyond voice_size"},
        {"2048 bytes", On::Port20080, Voice(2034, 2048),
         "voice seq=4 target=1 command=10 status=0 length=2034 written=2034 zeros=0 "
         "payload=2034",
         "Voice Seq=4 Length=2034", "voice_size"},
        {"a Status makes voice a reply", On::Port20080, Zelk({5, 1, 10, 1, 400}, {}, 416),
         "reply seq=5 target=1 command=10 status=1 unused=404",
         "Voice reply accepted Seq=5 Target=1", ""},
        // Dropped by size.
        {"2049 bytes: the receive fails", On::Port20080, Voice(400, 2049),
         "dropped (over 2048 bytes, the receive fails) seq=4 target=1 command=10 status=0 "
         "unused=2037",
         "Dropped: over 2048 bytes, the receive fails", "oversize"},
        {"2100 bytes not z", On::Port20080, Bytes(2100, 0x5a),
         "dropped (over 2048 bytes, the receive fails) unused=2100",
         "Dropped: over 2048 bytes, the receive fails", "oversize"},
        {"longer than 12, not voice", On::Port20080, Zelk({1, 1, 5, 0}, {}, 416),
         "dropped (longer than 12 bytes and not voice) seq=1 target=1 command=5 status=0 "
         "unused=404",
         "Dropped: longer than 12 bytes and not voice", ""},
        {"11 bytes, byte 10 set: a reply", On::Port20080, Sized(Request(1, 1, 5, 1), 11),
         "reply seq=1 target=1 command=5 status=1", "Ring reply accepted Seq=1 Target=1", "short"},
        {"11 bytes, byte 10 zero", On::Port20080, Sized(Request(1, 1, 5), 11),
         "dropped (shorter than 12 bytes) seq=1 target=1 command=5 status=0",
         "Dropped: shorter than 12 bytes", "short"},
        {"one z", On::Port20080, Bytes{'z'},
         "dropped (shorter than 12 bytes) seq=0 target=0 command=0 status=0",
         "Dropped: shorter than 12 bytes", "magic_not_zelk short"},
        // Wireshark hands an empty payload to no dissector.
        {"empty", On::Port20080, Bytes{}, "", "", ""},
        // Elsewhere only "zelk" with 12 bytes, or 13 to 2048 with Command 10.
        {"Ring elsewhere", On::OtherPort, Request(1, 1, 5),
         "request seq=1 target=1 command=5 status=0", "Ring request Seq=1 Target=1", ""},
        {"reply elsewhere", On::OtherPort, Request(1, 1, 5, 2),
         "reply seq=1 target=1 command=5 status=2", "Ring reply rejected Seq=1 Target=1", ""},
        {"12 bytes of Command 10 elsewhere", On::OtherPort, Request(2, 1, 10),
         "request seq=2 target=1 command=10 status=0", "Command 10 request Seq=2 Target=1",
         "unknown_command"},
        {"voice elsewhere", On::OtherPort, Voice(400, 416),
         "voice seq=4 target=1 command=10 status=0 length=400 written=400 zeros=0 payload=400 "
         "unused=2",
         "Voice Seq=4 Length=400", ""},
        {"13 bytes of voice elsewhere", On::OtherPort, Voice(3, 13),
         "voice seq=4 target=1 command=10 status=0 length=3 written=3 zeros=3",
         "Voice Seq=4 Length=3", "length_beyond voice_size"},
        {"2048 bytes of voice elsewhere", On::OtherPort, Voice(400, 2048),
         "voice seq=4 target=1 command=10 status=0 length=400 written=400 zeros=0 payload=400 "
         "unused=1634",
         "Voice Seq=4 Length=400", "voice_size"},
        {"voice with a Status elsewhere", On::OtherPort, Zelk({5, 1, 10, 1, 400}, {}, 416),
         "reply seq=5 target=1 command=10 status=1 unused=404",
         "Voice reply accepted Seq=5 Target=1", ""},
        {"2049 bytes of voice elsewhere", On::OtherPort, Voice(400, 2049), "", "", ""},
        {"416 bytes of Ring elsewhere", On::OtherPort, Zelk({1, 1, 5, 0}, {}, 416), "", "", ""},
        {"13 bytes of Ring elsewhere", On::OtherPort, Zelk({1, 1, 5, 0}, {}, 13), "", "", ""},
        {"11 bytes elsewhere", On::OtherPort, Sized(Request(1, 1, 5, 1), 11), "", "", ""},
        {"magic zxyw elsewhere", On::OtherPort, WithMagic("zxyw", {1, 1, 5, 0}), "", "", ""},
        {"empty elsewhere", On::OtherPort, Bytes{}, "", "", ""},
    };

    QStringList fields = {"udp.srcport",     "udp.dstport",        "frame.protocols",
                          "udpphone.size",   "udpphone.shape",     "udpphone.dropped",
                          "udpphone.seq",    "udpphone.target",    "udpphone.command",
                          "udpphone.status", "udpphone.length",    "udpphone.written",
                          "udpphone.zeros",  "udpphone.payload",   "udpphone.unused",
                          "_ws.col.Info",    "_ws.expert.severity"};
    for (const char* expert : kExperts) {
        fields << QString("udpphone.") + expert;
    }
    const std::vector<std::string> named = {"seq",    "target",  "command", "status",
                                            "length", "written", "zeros"};
    for (const On on : {On::Port20080, On::OtherPort}) {
        const int port = on == On::Port20080 ? 20080 : kOtherPort;
        std::vector<const Row*> sent;
        std::vector<Bytes> datagrams;
        for (const Row& row : rows) {
            if (row.on == on) {
                sent.push_back(&row);
                datagrams.push_back(row.datagram);
            }
        }
        const QString capture = Capture("table-" + std::to_string(port), datagrams, port);
        const std::vector<std::string> decoded = TsharkFields(capture, fields);
        ASSERT_EQ(decoded.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            const Row& row = *sent[i];
            SCOPED_TRACE(row.what);
            const auto value = Split(decoded[i]);
            ASSERT_EQ(value.size(), static_cast<std::size_t>(fields.size())) << decoded[i];
            auto field = [&](const char* name) {
                return value[static_cast<std::size_t>(fields.indexOf(name))];
            };
            EXPECT_EQ(field("udp.srcport") + ">" + field("udp.dstport"),
                      std::to_string(kSourcePort) + ">" + std::to_string(port));
            const bool ours = !std::string(row.fields).empty();
            EXPECT_EQ(field("frame.protocols"), ours                   ? "raw:ip:udp:udpphone"
                                                : row.datagram.empty() ? "raw:ip:udp"
                                                                       : "raw:ip:udp:data");

            std::string got = field("udpphone.shape");
            if (!field("udpphone.dropped").empty()) {
                got += " (" + field("udpphone.dropped") + ")";
            }
            for (const std::string& name : named) {
                const std::string text = field(("udpphone." + name).c_str());
                if (!text.empty()) {
                    got += " " + name + "=" + text;
                }
            }
            const std::string hex = HexOf(row.datagram);
            const std::string payload = field("udpphone.payload");
            const std::string unused = field("udpphone.unused");
            if (!payload.empty()) {
                got += " payload=" + std::to_string(payload.size() / 2);
                EXPECT_EQ(payload, hex.substr(28, payload.size()));
            }
            if (!unused.empty()) {
                got += " unused=" + std::to_string(unused.size() / 2);
                EXPECT_EQ(unused, hex.substr(hex.size() - unused.size()));
            }
            EXPECT_EQ(got, row.fields);
            if (ours) {
                EXPECT_EQ(field("_ws.col.Info"), row.info);
            }

            std::string experts;
            for (const char* expert : kExperts) {
                if (!field((std::string("udpphone.") + expert).c_str()).empty()) {
                    experts += std::string(experts.empty() ? "" : " ") + expert;
                }
            }
            EXPECT_EQ(experts, row.experts);
            // Notes and warnings only: an Error would mark the frame as broken.
            for (const std::string& severity : Split(field("_ws.expert.severity"), ',')) {
                EXPECT_TRUE(severity.empty() || severity == "4194304" || severity == "6291456")
                    << severity;
            }
            if (ours) {
                EXPECT_EQ(field("udpphone.size"), std::to_string(row.datagram.size()));
            }
        }
        ExpectNoErrors(capture, port, "the table");
    }
}

// Random sizes from 0 to 2,100 bytes (a quarter of them short), half of them with "zelk" first,
// of which half carry Command 10 and half Status 0, with Lengths short, fitting and far.
std::vector<Bytes> RandomDatagrams(std::size_t count) {
    std::mt19937 random(20080);
    auto below = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    std::vector<Bytes> datagrams;
    for (std::size_t i = 0; i < count; ++i) {
        Bytes bytes(static_cast<std::size_t>(below(4) == 0 ? below(17) : below(2101)));
        for (std::uint8_t& byte : bytes) {
            byte = static_cast<std::uint8_t>(below(256));
        }
        auto put = [&](std::size_t offset, int value) {
            for (std::size_t b = 0; b < 2 && offset + b < bytes.size(); ++b) {
                bytes[offset + b] = static_cast<std::uint8_t>(value >> (8 * b));
            }
        };
        if (below(2) == 0) {
            std::copy_n("zelk", std::min<std::size_t>(4, bytes.size()), bytes.begin());
            if (below(2) == 0) {
                put(8, 10);
            }
            if (below(2) == 0) {
                put(10, 0);
            }
            const int fitting = static_cast<int>(bytes.size()) - 14;
            put(12, below(3) == 0   ? fitting
                    : below(3) == 0 ? below(65536)
                                    : fitting + below(9) - 4);
        }
        datagrams.push_back(std::move(bytes));
    }
    return datagrams;
}

// What the endpoint's own code makes of `bytes`: the shape with the reason it is dropped, and
// the number of bytes written for voice.
struct Seen {
    std::string shape;
    std::string written;
};

Seen AsTheEndpoint(const Bytes& bytes) {
    const peer::DatagramLook look = peer::LookAt(bytes);
    if (look.kind == peer::Kind::Ignored) {
        return {"dropped (" + kDropped.at(look.reason) + ")", ""};
    }
    Seen seen{peer::KindName(look.kind), ""};
    if (look.kind == peer::Kind::Voice) {
        std::array<std::uint8_t, phone::kReceiveBufferSize> buffer{};
        std::copy(bytes.begin(), bytes.end(), buffer.begin());
        seen.written = std::to_string(phone::VoiceToStore(buffer).size());
    }
    return seen;
}

// What the heuristic may claim on a port of no protocol.
bool OnlyThisProtocol(const Bytes& bytes) {
    const bool zelk = bytes.size() >= 4 && std::equal(bytes.begin(), bytes.begin() + 4, "zelk");
    return zelk && (bytes.size() == 12 || (bytes.size() >= 13 && bytes.size() <= 2048 &&
                                           bytes[8] == 10 && bytes[9] == 0));
}

// The random datagrams as the dissector decodes them from `capture`, which holds them all once
// for each of `captured`, with that many bytes of each captured, against the endpoint's own view;
// returns how many it claimed of those captured whole. What the dissector cannot know it says so,
// and it is never wrong about the rest.
std::size_t ExpectAsTheEndpoint(const QString& capture, const std::vector<Bytes>& datagrams,
                                int port, const std::vector<std::size_t>& captured) {
    const std::vector<std::string> decoded =
        TsharkFields(capture, {"udpphone.shape", "udpphone.dropped", "udpphone.written",
                               "_ws.col.Info", "udpphone.not_captured"});
    EXPECT_EQ(decoded.size(), datagrams.size() * captured.size());
    std::size_t claimed = 0;
    for (std::size_t row = 0; row < std::min(decoded.size(), datagrams.size() * captured.size());
         ++row) {
        const Bytes& bytes = datagrams[row % datagrams.size()];
        const std::size_t have = std::min(captured[row / datagrams.size()], bytes.size());
        SCOPED_TRACE(std::to_string(have) + " bytes captured of " + HexOf(bytes));
        const auto value = Split(decoded[row]);
        EXPECT_EQ(value.size(), 5u);
        // Elsewhere only what shows "zelk" and its Command in the capture.
        const bool ours = port == 20080 ? !bytes.empty() : OnlyThisProtocol(bytes) && have >= 10;
        EXPECT_EQ(!value[0].empty(), ours);
        if (!ours || value.size() != 5) {
            continue;
        }
        claimed += have == bytes.size() ? 1 : 0;
        const Seen endpoint = AsTheEndpoint(bytes);
        const std::string shape = value[0] + (value[1].empty() ? "" : " (" + value[1] + ")");
        bool known = true;
        if (shape == "unknown") {
            EXPECT_LT(have, std::min<std::size_t>(12, bytes.size()));
            known = false;
        } else {
            EXPECT_EQ(shape, endpoint.shape);
        }
        if (!value[2].empty()) {
            EXPECT_EQ(value[2], endpoint.written);
        } else if (shape == "voice") {
            EXPECT_LT(have, std::min<std::size_t>(14, bytes.size()));
            known = false;
        }
        EXPECT_EQ(value[4].empty(), known) << "the note on what is not known";
        EXPECT_EQ(value[3].find("nil"), std::string::npos) << value[3];
    }
    return claimed;
}

TEST_F(DissectorTest, RandomDatagramsDecodeWithoutErrorsAsTheEndpointSeesThem) {
    const std::vector<Bytes> datagrams = RandomDatagrams(2000);
    // Whole, then only the first 1, 13 and 72 bytes of each (after 28 of IPv4 and UDP).
    const std::vector<std::size_t> captured = {SIZE_MAX, 1, 13, 72};
    for (const int port : {20080, kOtherPort}) {
        SCOPED_TRACE(port);
        const QString capture = Capture("random-" + std::to_string(port), datagrams, port);
        QStringList all = {"-a", "-w", directory.filePath(QString("all-%1.pcapng").arg(port)),
                           capture};
        for (std::size_t i = 1; i < captured.size(); ++i) {
            all << directory.filePath(QString("cut-%1-%2.pcapng").arg(port).arg(captured[i]));
            ASSERT_EQ(
                QProcess::execute("/usr/bin/editcap",
                                  {"-s", QString::number(captured[i] + 28), capture, all.back()}),
                0);
        }
        ASSERT_EQ(QProcess::execute("/usr/bin/mergecap", all), 0);
        ExpectNoErrors(all[2], port, "random datagrams, whole and cut");
        // The heuristic had plenty to claim.
        EXPECT_GT(ExpectAsTheEndpoint(all[2], datagrams, port, captured),
                  port == 20080 ? 1900u : 300u);
    }
}

}  // namespace

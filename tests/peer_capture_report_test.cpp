// udpphone-peer report: captures the tests write in every link type it reads, with the traffic
// around a call that it must count and skip, packets cut short, damaged files; and the figures of
// the peer's own runs, live against those read back from their captures.

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <QTemporaryDir>
#include <cmath>

#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"

using namespace testsupport;
using nlohmann::json;

namespace {

enum class Link { Ethernet, Vlan, StackedVlans, Sll, Sll2, Raw, Ipv4 };

struct Packet {
    double ms;
    Bytes frame;
    std::size_t kept = SIZE_MAX;  // what the capture keeps of the frame
};

void Put16(Bytes& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(value);
}

// An IPv4 packet from host `from` to host `to` (192.0.2.x, in a file only) carrying a UDP
// datagram, or another protocol's bytes; `lengthError` is added to the IPv4 total length.
Bytes Ipv4(int from, int to, const Bytes& payload, int protocol = 17, std::uint16_t flags = 0,
           int lengthError = 0) {
    Bytes packet(28 + payload.size(), 0);
    packet[0] = 0x45;
    Put16(packet, 2, static_cast<std::uint16_t>(28 + payload.size() + lengthError));
    Put16(packet, 6, flags);
    packet[8] = 64;
    packet[9] = static_cast<std::uint8_t>(protocol);
    const std::uint8_t ends[] = {192, 0, 2, static_cast<std::uint8_t>(from),
                                 192, 0, 2, static_cast<std::uint8_t>(to)};
    std::copy(std::begin(ends), std::end(ends), packet.begin() + 12);
    Put16(packet, 20, 20080);
    Put16(packet, 22, 20080);
    Put16(packet, 24, static_cast<std::uint16_t>(8 + payload.size()));
    std::copy(payload.begin(), payload.end(), packet.begin() + 28);
    return packet;
}

// `ip` behind the link's header, of the EtherType given; Ethernet padded to its 60 bytes.
Bytes Framed(Link link, Bytes ip, std::uint16_t type = 0x0800) {
    Bytes head;
    switch (link) {
        case Link::Raw:
        case Link::Ipv4:
            return ip;
        case Link::Ethernet:
        case Link::Vlan:
        case Link::StackedVlans:
            head.assign(12, 0xEE);
            if (link == Link::StackedVlans) {
                head.insert(head.end(), {0x88, 0xA8, 0x00, 0x07});
            }
            if (link != Link::Ethernet) {
                head.insert(head.end(), {0x81, 0x00, 0x00, 0x2A});
            }
            head.insert(head.end(), {0, 0});
            Put16(head, head.size() - 2, type);
            ip.resize(std::max<std::size_t>(ip.size(), 60 - head.size()));
            break;
        case Link::Sll:
            head.assign(16, 0);
            Put16(head, 14, type);
            break;
        case Link::Sll2:
            head.assign(20, 0);
            Put16(head, 0, type);
            break;
    }
    head.insert(head.end(), ip.begin(), ip.end());
    return head;
}

int LinkTypeOf(Link link) {
    const int types[] = {DLT_EN10MB,     DLT_EN10MB, DLT_EN10MB, DLT_LINUX_SLL,
                         DLT_LINUX_SLL2, DLT_RAW,    DLT_IPV4};
    return types[static_cast<int>(link)];
}

// A pcap file with nanosecond stamps, the first packet at 1.8e9 s.
void WritePcap(const QString& path, int linkType, const std::vector<Packet>& packets) {
    pcap_t* dead =
        pcap_open_dead_with_tstamp_precision(linkType, 262144, PCAP_TSTAMP_PRECISION_NANO);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.toLocal8Bit().constData());
    ASSERT_NE(dumper, nullptr) << pcap_geterr(dead);
    for (const Packet& packet : packets) {
        pcap_pkthdr header{};
        const auto nanoseconds = std::llround(packet.ms * 1e6);
        header.ts.tv_sec = 1'800'000'000 + nanoseconds / 1'000'000'000;
        header.ts.tv_usec = nanoseconds % 1'000'000'000;
        header.len = static_cast<bpf_u_int32>(packet.frame.size());
        header.caplen = static_cast<bpf_u_int32>(std::min(packet.kept, packet.frame.size()));
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, packet.frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

Bytes Voice(int seq) {
    return Zelk({seq, 1, 10, 0, 400}, Pattern(400, static_cast<std::uint8_t>(seq)), 416);
}

// A call from 192.0.2.1 to .2 and, around it, what report counts and skips: a TCP packet, an
// IPv6 one, a fragment, and two UDP conversations of other protocols, one of them 12-byte
// datagrams that start with "z" and so pass the endpoint's own test for a request.
std::vector<Packet> CallIn(Link link) {
    const auto udp = [&](double ms, int from, int to, const Bytes& payload) {
        return Packet{ms, Framed(link, Ipv4(from, to, payload))};
    };
    Bytes ipv6 = Pattern(60, 6);
    ipv6[0] = 0x60;
    return {
        udp(0, 1, 2, Request(1, 1, 5)),
        udp(1.5, 2, 1, Request(1, 1, 5, 1)),
        udp(2, 1, 2, Request(2, 1, 7)),
        udp(2.25, 2, 1, Request(2, 1, 7, 2)),
        udp(3, 1, 2, Voice(3)),
        {5, Framed(link, Ipv4(1, 2, Pattern(40, 1), 6))},
        {6, Framed(link, ipv6, 0x86DD)},
        {7, Framed(link, Ipv4(1, 2, Voice(9), 17, 0x2000))},
        udp(8, 3, 4, Pattern(30, 3)),
        udp(9, 5, 6, Bytes{'z', 'z', 'z', 'z', 1, 0, 1, 0, 5, 0, 0, 0}),
        udp(10, 2, 1, Voice(1)),
        udp(50, 1, 2, Voice(4)),
        udp(57, 2, 1, Voice(2)),
        udp(97, 1, 2, Voice(5)),
        udp(144, 1, 2, Voice(6)),
        udp(151, 2, 1, Voice(4)),
        udp(160, 2, 1, Voice(2)),
        udp(200, 1, 2, Request(7, 1, 9)),
        udp(201, 2, 1, Request(7, 1, 9, 1)),
    };
}

class PeerReportTest : public ::testing::Test {
  protected:
    QString Path(const QString& name) const { return directory.filePath(name); }
    PeerResult Report(const QStringList& arguments) {
        return RunPeer(QStringList{"report"} + arguments + QStringList{"--json"});
    }
    QTemporaryDir directory;
};

}  // namespace

TEST_F(PeerReportTest, EveryLinkTypeGivesTheCallsFiguresAndCountsWhatItSkips) {
    for (const Link link : {Link::Ethernet, Link::Vlan, Link::StackedVlans, Link::Sll, Link::Sll2,
                            Link::Raw, Link::Ipv4}) {
        SCOPED_TRACE(static_cast<int>(link));
        WritePcap(Path("call.pcap"), LinkTypeOf(link), CallIn(link));
        const PeerResult run = Report({Path("call.pcap")});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        ASSERT_EQ(run.lines.size(), 2u) << run.out;
        EXPECT_EQ(run.lines[0]["capture"]["skipped"],
                  json::parse(R"({"not IPv4":1,"not UDP":1,"fragment":1,"truncated":0,
                                  "other conversations":2})"));
        EXPECT_EQ(
            std::tuple(run.lines[0]["capture"]["packets"], run.lines[0]["capture"]["datagrams"],
                       run.lines[0]["capture"]["truncated"]),
            std::tuple(19, 14, 0));
        const json& summary = run.summary;
        // The first requester is this end: the Ring, Talk, Disconnect and 4 voice went out.
        EXPECT_EQ(summary["conversation"]["local"], "192.0.2.1:20080");
        EXPECT_EQ(summary["conversation"]["start"], "2027-01-15T08:00:00.000000Z");
        EXPECT_EQ(summary["conversation"]["seconds"], 0.201);
        for (const auto& [key, value] : {std::pair("datagrams_sent", 7),
                                         {"datagrams_received", 7},
                                         {"voice_sent", 4},
                                         {"voice_received", 4},
                                         {"requests_sent", 3},
                                         {"requests_answered", 3},
                                         {"replies_received", 3},
                                         {"seq_gaps", 1},
                                         {"seq_duplicates", 1},
                                         {"seq_reordered", 0}}) {
            EXPECT_EQ(summary[key], value) << key;
        }
        EXPECT_EQ(summary["pacing_sent_ms"], json::parse(R"({"median":47.0,"p99":47.0,
                                                  "max":47.0,"min":47.0})"));
        EXPECT_EQ(summary["pacing_received_ms"], json::parse(R"({"median":47.0,"p99":94.0,
                                                      "max":94.0,"min":9.0})"));
        EXPECT_EQ(summary["reply_latency_ms"],
                  json::parse(R"({"median":1.0,"p99":1.5,"max":1.5})"));
        EXPECT_EQ(summary["by_command"]["replies_received"],
                  json::parse(R"({"ring":{"accepted":1},"talk":{"refused":1},
                                  "disconnect":{"accepted":1}})"));
        EXPECT_EQ(summary["drift_ms"], nullptr);
    }
}

TEST_F(PeerReportTest, PacketsCutShortAreCountedAndOnlyWholeHeadersAreRead) {
    // Behind two VLAN tags (a 22-byte link header): the 4th voice datagram out keeps its header
    // and 50 bytes more, the Talk's reply only 8 bytes of its 12; one packet is cut inside its
    // IPv4 header, and one claims more bytes than its frame has.
    std::vector<Packet> packets = CallIn(Link::StackedVlans);
    packets[11].kept = 22 + 28 + 64;
    packets[3].kept = 22 + 28 + 8;
    packets.push_back({300, Framed(Link::StackedVlans, Ipv4(1, 2, Voice(8))), 22 + 12});
    packets.push_back({301, Framed(Link::StackedVlans, Ipv4(1, 2, Voice(9), 17, 0, 1))});
    WritePcap(Path("cut.pcap"), DLT_EN10MB, packets);

    const PeerResult run = Report({Path("cut.pcap"), "--local", "192.0.2.2"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json& capture = run.lines[0]["capture"];
    EXPECT_EQ(capture["skipped"]["truncated"], 3);
    EXPECT_EQ(std::tuple(capture["packets"], capture["datagrams"], capture["truncated"]),
              std::tuple(21, 13, 4));
    const json& summary = run.summary;
    EXPECT_EQ(summary["conversation"]["local"], "192.0.2.2:20080");
    EXPECT_EQ(
        std::tuple(summary["conversation"]["truncated"], summary["conversation"]["unreadable"]),
        std::tuple(2, 1));
    // The cut voice datagram counts by its header: no gap where it was, its spacing kept.
    EXPECT_EQ(std::tuple(summary["voice_received"], summary["seq_gaps"], summary["replies_sent"]),
              std::tuple(4, 0, 2));
    EXPECT_EQ(summary["pacing_received_ms"]["max"], 47.0);
    EXPECT_EQ(summary["by_command"]["replies_sent"],
              json::parse(R"({"ring":{"accepted":1},"disconnect":{"accepted":1}})"));
}

TEST_F(PeerReportTest, DamagedUnreadableOrEmptyCapturesEndWithTheirStatusAndAReason) {
    WritePcap(Path("call.pcap"), DLT_EN10MB, CallIn(Link::Ethernet));
    Bytes whole = ReadFile(Path("call.pcap").toStdString());
    WriteFile(Path("cut-record.pcap").toStdString(), Bytes(whole.begin(), whole.end() - 20));
    whole[20] = 105;  // the link type: 802.11
    WriteFile(Path("wifi.pcap").toStdString(), whole);
    WriteFile(Path("text.pcap").toStdString(), Bytes{'h', 'e', 'l', 'l', 'o'});
    WriteFile(Path("empty.pcap").toStdString(), {});
    WritePcap(Path("noise.pcap"), DLT_RAW, {{0, Ipv4(3, 4, Pattern(30, 3))}});

    const struct {
        QStringList arguments;
        int exitCode;
        const char* message;
        int packetsRead;  // -1: no capture line
    } cases[] = {
        {{Path("cut-record.pcap")}, 2, "is damaged after 18 packets: truncated dump file", 18},
        {{Path("wifi.pcap")}, 2, "link type IEEE802_11", -1},
        {{Path("text.pcap")}, 2, "cannot read", -1},
        {{Path("empty.pcap")}, 2, "cannot read", -1},
        {{Path("missing.pcap")}, 2, "cannot read", -1},
        {{directory.path()}, 2, "is not a regular file", -1},
        {{Path("call.pcap"), "--conversation", "192.0.2.1-192.0.2.2"}, 2, "is not two ends", -1},
        {{Path("noise.pcap")}, 1, "holds no conversation of the protocol\n", 1},
        {{Path("call.pcap"), "--conversation", "192.0.2.2:20080-192.0.2.1:20081"},
         1,
         "between 192.0.2.2:20080-192.0.2.1:20081",
         19},
        {{Path("call.pcap"), "--local", "192.0.2.3"}, 1, "with 192.0.2.3 as an end", 19},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const PeerResult run = Report(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        if (c.packetsRead < 0) {
            EXPECT_EQ(run.out, "");
        } else {
            ASSERT_FALSE(run.lines.empty());
            EXPECT_EQ(run.lines[0]["capture"]["packets"], c.packetsRead);
            EXPECT_EQ(run.lines[0]["capture"].contains("error"), c.exitCode == 2);
        }
    }
    // Picked by its two ends in either order, from the other end.
    const PeerResult picked =
        Report({Path("call.pcap"), "--conversation", "192.0.2.2:20080-192.0.2.1:20080", "--local",
                "192.0.2.2:20080"});
    EXPECT_EQ(picked.exitCode, 0);
    EXPECT_EQ(std::tuple(picked.summary["voice_sent"], picked.summary["seq_gaps"]),
              std::tuple(4, 0));
}

// A call between two peers, each with --pcap, the caller impairing its voice when asked; each
// side's capture read back from that side must give the figures it printed. Counts and Seq
// events are equal. Times differ by what the capture keeps of them:
// - Received spacing: the kernel's stamps, which the capture rounds to the microsecond: each
//   spacing moves by at most 1 us, and the summary's own rounding to the microsecond of both
//   figures makes it at most 2 us (0.002 ms).
// - Sent spacing: live from the monotonic clock, in the capture from the real-time clock read
//   with it; both run at the same rate, and the two readings are at most 1 us apart (the wire
//   reads them again when the process lost the processor between them), so 3 us hold while
//   nothing steps the real-time clock during the run.
// - Reply latency: live from a real-time reading taken before the send call, in the capture from
//   the one the send call takes: the live figure is never shorter than the capture's (less the
//   2 us of rounding), and longer by the few microseconds the call takes to reach its reading;
//   1 ms bounds that even on a loaded machine.
TEST_F(PeerReportTest, ARunsCaptureGivesTheFiguresTheRunPrinted) {
    WriteFile(Path("voice").toStdString(), Pattern(8'000, 4));
    const QStringList impairments[] = {
        {},
        {"--drop", "15", "--duplicate", "10", "--reorder", "10", "--jitter", "20", "--seed", "11"}};
    for (const QStringList& impaired : impairments) {
        SCOPED_TRACE(impaired.join(' ').toStdString());
        PeerProcess answer({"answer", "--bind", "127.0.8.91", "--local-port", "21901",
                            "--peer-port", "21902", "--play", Path("voice"), "--until",
                            "disconnect", "--duration", "30", "--json", "--quiet", "--pcap",
                            Path("answer.pcapng")});
        ASSERT_TRUE(answer.WaitUntilAnswering());
        const PeerResult call =
            RunPeer(QStringList{"call", "127.0.8.91:21901", "--bind", "127.0.8.92", "--local-port",
                                "21902", "--play", Path("voice"), "--json", "--quiet", "--pcap",
                                Path("call.pcapng")} +
                    impaired);
        const PeerResult answered = answer.Finish();
        ASSERT_EQ(call.exitCode, 0) << call.err;
        ASSERT_EQ(answered.exitCode, 0) << answered.err;
        if (!impaired.isEmpty()) {
            EXPECT_GT(answered.summary["seq_gaps"], 0);
        }

        for (const auto& [live, arguments] :
             {std::pair(&call.summary, QStringList{Path("call.pcapng")}),
              {&answered.summary, {Path("answer.pcapng"), "--local", "127.0.8.91:21901"}}}) {
            const PeerResult read = Report(arguments);
            ASSERT_EQ(read.exitCode, 0) << read.err;
            const json& figures = read.summary;
            for (const char* key :
                 {"datagrams_sent", "datagrams_received", "voice_sent", "voice_received",
                  "requests_sent", "requests_answered", "requests_received", "replies_sent",
                  "replies_received", "ignored_received", "seq_gaps", "seq_duplicates",
                  "seq_reordered"}) {
                EXPECT_EQ(figures[key], (*live)[key])
                    << key << " of " << arguments[0].toStdString();
            }
            // Both measured on the stamps the capture keeps: the microsecond it rounds to, twice.
            for (const char* spacing : {"pacing_sent_ms", "pacing_received_ms"}) {
                for (const char* which : {"median", "p99", "max", "min"}) {
                    EXPECT_NEAR(figures[spacing][which].get<double>(),
                                (*live)[spacing][which].get<double>(), 0.002 + 1e-9)
                        << spacing << " " << which;
                }
            }
            for (const char* which : {"median", "p99", "max"}) {
                if ((*live)["reply_latency_ms"][which].is_null()) {
                    EXPECT_TRUE(figures["reply_latency_ms"][which].is_null());
                    continue;
                }
                const double more = (*live)["reply_latency_ms"][which].get<double>() -
                                    figures["reply_latency_ms"][which].get<double>();
                EXPECT_TRUE(more >= -0.002 - 1e-9 && more <= 1.0) << which << ": " << more;
            }
        }
    }
}

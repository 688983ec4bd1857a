// --report and report -o on the real peer: each report a run writes opens in headless Chromium
// with nothing fetched and no console error, and carries the summary that run printed: the same
// table, the same ends, each picture with the summary's figures, marks that count what the
// summary counts. A capture's report of a call agrees with the call's own. The report's file is
// checked with the other files, and a signal still leaves a whole report.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "peer/figures/Exchanges.h"
#include "peer/report/ReportHtml.h"
#include "phone/PhoneDatagram.h"
#include "support/Chromium.h"
#include "support/PeerProcess.h"
#include "support/PhoneCalls.h"
#include "support/ReportSamples.h"
#include "support/UdpPeer.h"

using namespace std::chrono_literals;
using namespace testsupport;
using nlohmann::json;

namespace {

// What the checks read off each page.
constexpr const char* kProbe = R"js((() => {
  const text = (element) => element ? element.textContent : null;
  const table = (selector) => {
    const rows = {};
    for (const row of document.querySelectorAll(selector + ' tr')) {
      rows[text(row.querySelector('th'))] = text(row.querySelector('td'));
    }
    return rows;
  };
  return {
    pictures: Object.fromEntries([...document.querySelectorAll('svg')].map(
        (svg) => [svg.id, {title: text(svg.querySelector(':scope > title')),
                           desc: text(svg.querySelector(':scope > desc'))}])),
    summary: table('#summary'),
    heads: [...document.querySelectorAll('dl.head')].map((list) => Object.fromEntries(
        [...list.querySelectorAll('dt')].map((term) => [text(term), text(term.nextElementSibling)]))),
    failedStep: text(document.querySelector('#steps tr.failed')),
    notReached: [...document.querySelectorAll('#steps td')]
        .filter((cell) => cell.textContent === 'not reached').length,
    fetching: document.querySelectorAll('script, link, img, iframe, object, embed').length,
  };
})())js";

// The summary as printed, its keys in their order: the last line of standard output.
nlohmann::ordered_json Printed(const PeerResult& run) {
    const std::string out = run.out.substr(0, run.out.find_last_not_of('\n') + 1);
    return nlohmann::ordered_json::parse(out.substr(out.rfind('\n') + 1))["summary"];
}

// Nested figures named with dots, each as the JSON prints it: the rows of a summary's table.
void Flatten(const nlohmann::ordered_json& value, const std::string& name,
             std::map<std::string, std::string>& out) {
    if (value.is_object() && !value.empty()) {
        for (const auto& [key, inner] : value.items()) {
            Flatten(inner, name.empty() ? key : name + "." + key, out);
        }
        return;
    }
    out[name] = value.is_string() ? value.get<std::string>() : value.dump();
}

std::string Desc(const PageLoad& page, const std::string& picture) {
    const json& found = page.probe["pictures"].value(picture, json::object());
    return found.value("desc", "(no picture " + picture + ")");
}

void ExpectIn(const std::string& text, const std::string& part) {
    EXPECT_NE(text.find(part), std::string::npos) << "\"" << part << "\" not in: " << text;
}

// The marks a picture names, as the summary counts them.
std::string SeqMarks(const json& summary) {
    return "gap " + summary["seq_gaps"].dump() + ", duplicate " + summary["seq_duplicates"].dump() +
           ", reorder " + summary["seq_reordered"].dump();
}
std::string SentMarks(const json& summary) {
    const json& impaired = summary["impairments"];
    return "stall " + summary["stalls"].dump() + ", dropped " + impaired["dropped"].dump() +
           ", duplicated " + impaired["duplicated"].dump() + ", reordered " +
           impaired["reordered"].dump() + ", delayed " + impaired["delayed"].dump();
}

class PeerReportRunTest : public ::testing::Test {
  protected:
    QString Path(const QString& name) const { return directory.filePath(name); }
    void WriteText(const QString& name, const std::string& text) const {
        WriteFile(Path(name).toStdString(), Bytes(text.begin(), text.end()));
    }
    std::string Text(const QString& name) const {
        std::ifstream file(Path(name).toStdString());
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    QTemporaryDir directory;
};

}  // namespace

// Every run the peer has, once each: two calls to one answer (the second impaired, with a seed,
// and captured), a scenario whose fourth step fails, a load, and the capture of the impaired call
// read back. One browser opens all the pages.
TEST_F(PeerReportRunTest, EveryRunsReportCarriesItsSummaryAndOpensCleanInABrowser) {
    WriteFile(Path("voice").toStdString(), Pattern(4'800, 5));  // 12 chunks
    // The answer's goes on where it stopped: enough for both calls.
    WriteFile(Path("answer-voice").toStdString(), Pattern(16'000, 6));
    WriteText("fail.scenario",
              "send ring\n"
              "expect reply ring status=1\n"
              "send talk\n"
              "expect reply talk status=2 within=300\n"
              "send disconnect\n"
              "expect reply disconnect status=1\n");
    const QStringList quiet = {"--json", "--quiet"};

    // The answer takes both calls: its Seq and spacing start over with each, as its summary's.
    PeerProcess answer(Words("answer --bind 127.0.12.1 --local-port 23001 --peer-port 23002 "
                             "--count 6 --duration 30 --play") +
                       QStringList{Path("answer-voice"), "--report", Path("answer.html")} + quiet);
    ASSERT_TRUE(answer.WaitUntilAnswering());
    const QStringList call = Words("call 127.0.12.1:23001 --bind 127.0.12.2 --local-port 23002") +
                             QStringList{"--play", Path("voice")} + quiet;
    const PeerResult clean = RunPeer(call + QStringList{"--report", Path("call.html")});
    const PeerResult impaired =
        RunPeer(call + Words("--drop 15 --duplicate 10 --reorder 10 --jitter 5 --seed 11") +
                QStringList{"--pcap", Path("call.pcapng"), "--report", Path("impaired.html")});
    const PeerResult answered = answer.Finish();
    ASSERT_EQ(clean.exitCode, 0) << clean.err;
    ASSERT_EQ(impaired.exitCode, 0) << impaired.err;
    ASSERT_EQ(answered.exitCode, 0) << answered.err;
    ASSERT_EQ(answered.summary["calls_total"], 2);
    ASSERT_GT(answered.summary["seq_gaps"], 0);
    ASSERT_GT(impaired.summary["impairments"]["duplicated"], 0);
    ASSERT_GT(impaired.summary["voice_received"], 0);

    PeerProcess refuser(Words("answer --bind 127.0.12.3 --local-port 23003 --peer-port 23004 "
                              "--count 2 --duration 30") +
                        quiet);
    ASSERT_TRUE(refuser.WaitUntilAnswering());
    const PeerResult scenario =
        RunPeer(QStringList{"run", Path("fail.scenario"), "127.0.12.3:23003", "--report",
                            Path("run.html")} +
                Words("--bind 127.0.12.4 --local-port 23004") + quiet);
    refuser.Finish();
    ASSERT_EQ(scenario.exitCode, 1) << scenario.err;

    PeerProcess responder(
        Words("answer --bind 127.0.12.5 --local-port 23005 --reply-to-sender --count 1200 "
              "--duration 30") +
        quiet);
    ASSERT_TRUE(responder.WaitUntilAnswering());
    const PeerResult load =
        RunPeer(Words("load 127.0.12.5:23005 --bind 127.0.12.6 --local-port 23006 --rate 4000 "
                      "--duration 0.3 --report") +
                QStringList{Path("load.html")} + quiet);
    responder.Finish();
    ASSERT_EQ(load.exitCode, 0) << load.err;

    const PeerResult read =
        RunPeer({"report", Path("call.pcapng"), "-o", Path("capture.html"), "--json"});
    ASSERT_EQ(read.exitCode, 0) << read.err;

    if (::access(kChromiumPath, X_OK) != 0) {
        GTEST_SKIP() << kChromiumPath << " is missing: scripts/install-deps.sh installs chromium";
    }
    Chromium browser;
    ASSERT_EQ(browser.StartFailure(), "");

    const std::set<std::string> voice = {"spacing-sent", "spacing-received", "histogram-sent",
                                         "histogram-received", "seq-received"};
    const auto with = [](std::set<std::string> ids, std::initializer_list<const char*> more) {
        ids.insert(more.begin(), more.end());
        return ids;
    };
    const struct {
        const char* file;
        const PeerResult* run;
        std::set<std::string> pictures;
        std::string local, peer;
    } cases[] = {
        {"call.html", &clean, with(voice, {"replies"}), "127.0.12.2:23002", "127.0.12.1:23001"},
        {"impaired.html", &impaired, with(voice, {"replies"}), "127.0.12.2:23002",
         "127.0.12.1:23001"},
        {"answer.html", &answered, voice, "127.0.12.1:23001", "127.0.12.2:23002"},
        {"run.html", &scenario, {"replies", "scenario"}, "127.0.12.4:23004", "127.0.12.3:23003"},
        {"load.html",
         &load,
         {"load-counts", "load-latency"},
         "127.0.12.6:23006",
         "127.0.12.5:23005"},
        {"capture.html", &read, with(voice, {"replies"}), "127.0.12.2:23002", "127.0.12.1:23001"},
    };
    std::map<std::string, PageLoad> pages;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const PageLoad page = browser.Load(Path(c.file).toStdString(), kProbe);
        pages[c.file] = page;
        ASSERT_EQ(page.failure, "");
        EXPECT_TRUE(page.errors.empty()) << page.errors.front();
        EXPECT_TRUE(page.requests.empty()) << page.requests.front();
        EXPECT_TRUE(page.strays.empty()) << page.strays.front();
        EXPECT_EQ(page.probe["fetching"], 0);

        std::set<std::string> shown;
        for (const auto& [id, picture] : page.probe["pictures"].items()) {
            shown.insert(id);
            EXPECT_FALSE(picture["title"].get<std::string>().empty()) << id;
        }
        EXPECT_EQ(shown, c.pictures);

        // The table is the summary as printed, and the head names the run's two ends.
        const json& summary = c.run->summary;
        std::map<std::string, std::string> figures;
        Flatten(Printed(*c.run), "", figures);
        using Rows = std::map<std::string, std::string>;
        EXPECT_EQ(page.probe["summary"].get<Rows>(), figures);
        const json& head = page.probe["heads"].back();
        EXPECT_EQ(head["Local"], c.local);
        EXPECT_EQ(head["Peer"], c.peer);
        ExpectIn(page.probe["heads"][0]["Command line"], c.file);
        if (summary.contains("verdict")) {
            EXPECT_EQ(head["Verdict"], summary["verdict"]);
        }

        // Each picture says the summary's own figures, and its marks count what it counts.
        if (c.pictures.count("spacing-sent")) {
            const std::string sent = Desc(page, "spacing-sent");
            ExpectIn(sent, "median " + summary["pacing_sent_ms"]["median"].dump() + " ms");
            if (!summary["stalls"].is_null()) {
                ExpectIn(sent, SentMarks(summary));
            }
            ExpectIn(Desc(page, "spacing-received"), SeqMarks(summary));
            ExpectIn(Desc(page, "seq-received"), SeqMarks(summary));
            ExpectIn(Desc(page, "histogram-received"),
                     "99th percentile " + summary["pacing_received_ms"]["p99"].dump() + " ms");
        }
        if (c.pictures.count("replies")) {
            ExpectIn(Desc(page, "replies"), summary["requests_sent"].dump() + " requests, " +
                                                summary["requests_answered"].dump() + " answered");
        }
    }

    const PageLoad& run = pages["run.html"];
    ExpectIn(Desc(run, "scenario"),
             "6 steps, 3 passed, 1 failed, 2 not reached. Failed at line 4: expect reply talk "
             "status=2 within=300: nothing that matches within 300 ms");
    ExpectIn(run.probe["failedStep"], "expect reply talk status=2 within=300");
    EXPECT_EQ(run.probe["notReached"], 2);
    ExpectIn(Desc(pages["load.html"], "load-counts"),
             load.summary["load"]["sent"].dump() + " sent and " +
                 load.summary["load"]["answered"].dump() + " replies in all");

    // The capture's report against the call's own, within what a capture keeps of the times
    // (peer_capture_report_test says why): counts and Seq events exactly, spacings within 3 us
    // sent and 2 us received, reply latency live minus capture in [-2 us, +1 ms].
    const auto& live = pages["impaired.html"].probe["summary"];
    const auto& captured = pages["capture.html"].probe["summary"];
    for (const char* key :
         {"datagrams_sent", "datagrams_received", "voice_sent", "voice_received", "requests_sent",
          "requests_answered", "replies_received", "seq_gaps", "seq_duplicates", "seq_reordered"}) {
        EXPECT_EQ(captured.value(key, "?"), live.value(key, "!")) << key;
    }
    ExpectIn(Desc(pages["capture.html"], "seq-received"), SeqMarks(impaired.summary));
    const auto number = [](const json& rows, const std::string& key) {
        return std::stod(rows.value(key, "nan"));
    };
    // Both measured on the stamps the capture keeps: the microsecond it rounds to, twice.
    for (const char* spacing : {"pacing_sent_ms", "pacing_received_ms"}) {
        for (const char* which : {".median", ".p99", ".max", ".min"}) {
            const std::string key = std::string(spacing) + which;
            EXPECT_NEAR(number(captured, key), number(live, key), 0.002 + 1e-9) << key;
        }
    }
    for (const char* which : {".median", ".p99", ".max"}) {
        const std::string key = std::string("reply_latency_ms") + which;
        const double more = number(live, key) - number(captured, key);
        EXPECT_TRUE(more >= -0.002 - 1e-9 && more <= 1.0) << key << ": " << more;
    }
}

// The report's file is one of the run's files: refused where another option writes it too, or
// where it is no regular file, before anything is sent.
TEST_F(PeerReportRunTest, AReportFileOfTheWrongKindOrNamedTwiceIsRefusedBeforeAnythingIsSent) {
    UdpPeer listener("127.0.12.7");
    const QString host = "127.0.12.7:" + QString::number(listener.Port());
    ASSERT_EQ(::mkfifo(Path("fifo").toLocal8Bit().constData(), 0600), 0);
    WriteText("call.scenario", "send ring\n");
    WriteFile(Path("call.pcap").toStdString(), Pattern(100, 1));
    const struct {
        QStringList arguments;
        const char* message;
    } cases[] = {
        {{"call", host, "--pcap", Path("same.html"), "--report", Path("same.html")},
         "--pcap and --report name the same file"},
        {{"answer", "--report", directory.path()}, "--report: cannot use"},
        {{"load", host, "--report", Path("fifo")},
         "is a pipe (FIFO); --report takes a regular file only"},
        {{"run", Path("call.scenario"), host, "--report", "-"}, "--report: - is not standard"},
        {{"run", Path("call.scenario"), host, "--report", Path("call.scenario")},
         "SCENARIO and --report name the same file"},
        {{"report", Path("call.pcap"), "-o", Path("call.pcap")},
         "CAPTURE and --output name the same file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const bool live = c.arguments[0] != "report";
        const PeerResult run = RunPeer(
            c.arguments + (live ? Words("--bind 127.0.12.8 --local-port 0") : QStringList{}));
        EXPECT_EQ(run.exitCode, 2);
        ExpectIn(run.err, c.message);
        EXPECT_TRUE(listener.Drain().empty());
    }
    EXPECT_EQ(ReadFile(Path("call.pcap").toStdString()), Pattern(100, 1));
}

// Wherever a signal ends the run, even while it looks up its peer and has sent nothing, the
// report is written whole and says so.
TEST_F(PeerReportRunTest, ARunASignalEndsLeavesAWholeReportThatSaysSo) {
    if (!InTestNamespace()) {
        GTEST_SKIP() << "needs the test namespace's resolver, which can answer late";
    }
    const struct {
        QStringList arguments;
        const char* said;  // once the peer says this, it waits; none: it waits on a lookup
        const char* reason;
    } cases[] = {
        {{"call", "delay-60000.ip-127-0-0-2.dns.test"}, nullptr, "interrupted by a signal"},
        {Words("answer --until disconnect"), "answering on",
         "interrupted before an accepted Disconnect"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        PeerProcess peer(c.arguments + Words("--bind 127.0.12.9 --local-port 0 --json --report") +
                         QStringList{Path("signalled.html")});
        ASSERT_TRUE(peer.WaitUntil(
            [&](const std::string& out, const std::string& err) {
                return c.said ? (out + err).find(c.said) != std::string::npos
                              : ThreadsOf(peer.Pid()) > 1;  // the resolver's
            },
            5s));
        peer.Signal(SIGINT);
        const PeerResult run = peer.Finish(10s);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_EQ(run.summary["reasons"][0], c.reason);
        const std::string html = Text("signalled.html");
        EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
        EXPECT_TRUE(html.ends_with("</body>\n</html>\n"));
        ExpectIn(html, "<li>" + std::string(c.reason) + "</li>");
        ExpectIn(html, "<span class=\"verdict fail\">fail</span>");
    }
}

// A capture's page with several conversations keeps each one's pictures apart: every id on the
// page is its own, each conversation's prefixed with its number; what was not drawn is counted.
TEST(PeerCaptureReportPageTest, SeveralConversationsShareOnePageWithoutSharingAnId) {
    std::vector<peer::ReportData> conversations = {testsupport::MakeCall({}),
                                                   testsupport::MakeLoad(1, 100)};
    conversations[0].idPrefix = "c1-";
    conversations[1].idPrefix = "c2-";
    const std::vector<const peer::ReportData*> drawn = {&conversations[0], &conversations[1]};
    const std::string html = peer::RenderCaptureReport(
        {"two.pcap", "udpphone-peer report two.pcap -o two.html", {{"conversations", 3}}}, drawn,
        1);
    std::set<std::string> ids;
    const std::regex id(R"re( id="([^"]+)")re");
    for (std::sregex_iterator it(html.begin(), html.end(), id), end; it != end; ++it) {
        EXPECT_TRUE(ids.insert((*it)[1]).second) << "twice: " << (*it)[1];
    }
    for (const char* expected :
         {"capture", "c1-summary", "c1-spacing-sent", "c1-seq-received", "c1-replies",
          "c1-scenario", "c1-steps", "c2-summary", "c2-load-counts", "c2-load-latency"}) {
        EXPECT_TRUE(ids.count(expected)) << expected;
    }
    ExpectIn(html, "<h2>Conversation 2: ");
    ExpectIn(html, "1 more conversations are not drawn here");
}

// A capture's requests each get their fate: answered with the latency from their own send, or
// not, when their Seq went out again first or the capture ended before a reply.
TEST(PeerCaptureReportPageTest, EveryRequestOfACaptureEndsAnsweredOrNot) {
    peer::Figures figures;
    peer::Exchanges exchanges(figures);
    std::vector<peer::Exchanges::Ended> ended;
    exchanges.Watch([&](const peer::Exchanges::Ended& each) { ended.push_back(each); });
    const auto tell = [&](double t, bool outgoing, std::uint16_t seq, std::int16_t status) {
        std::array<std::uint8_t, phone::kRequestSize> bytes{};
        phone::BuildRequest(bytes, phone::CmdRing, seq, 1);
        phone::WriteWord(bytes, phone::kOffsetStatus, static_cast<std::uint16_t>(status));
        peer::DatagramEvent event;
        event.outgoing = outgoing;
        event.t = t;
        event.stamp = 100 + t;
        event.bytes = bytes;
        event.look = peer::LookAt(bytes);
        exchanges.OnDatagram(event);
    };
    tell(1, true, 5, 0);
    tell(2, true, 5, 0);  // the first Ring with Seq 5 is given up
    tell(2.25, false, 5, 1);
    tell(3, true, 7, 0);  // told in the order sent, not by Seq
    tell(4, true, 6, 0);
    exchanges.TellUnanswered();
    ASSERT_EQ(ended.size(), 4u);
    const std::tuple<double, std::optional<std::int16_t>, std::optional<double>> expected[] = {
        {1, std::nullopt, std::nullopt},
        {2, 1, 0.25},
        {3, std::nullopt, std::nullopt},
        {4, std::nullopt, std::nullopt}};
    for (std::size_t i = 0; i < ended.size(); ++i) {
        EXPECT_EQ(std::tuple(ended[i].t, ended[i].status, ended[i].latency), expected[i]) << i;
        EXPECT_EQ(ended[i].command, phone::CmdRing);
    }
}

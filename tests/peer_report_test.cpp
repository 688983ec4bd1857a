// The HTML report's parts without a browser: text made safe, series reduced to pixel columns
// without losing a spike, the histogram's edges, marks where and when they happened, and the
// whole page's size for an hour-long call.

#include <gtest/gtest.h>

#include <QXmlStreamReader>

#include <random>
#include <regex>
#include <set>

#include "peer/Addresses.h"
#include "peer/figures/Figures.h"
#include "peer/figures/Report.h"
#include "peer/report/Charts.h"
#include "peer/report/ReportCollector.h"
#include "peer/report/ReportHtml.h"
#include "peer/report/Svg.h"
#include "phone/PhoneDatagram.h"
#include "support/ReportSamples.h"

using namespace peer;

namespace {

const std::string kBad = "\xEF\xBF\xBD";  // U+FFFD

// A received voice datagram with `seq` at `t`, handed to every tap.
void Arrive(std::initializer_list<DatagramTap*> taps, double t, std::uint16_t seq) {
    std::array<std::uint8_t, phone::kVoiceSize> bytes{};
    phone::BuildVoiceHeader(bytes, seq, 1, 400);
    DatagramEvent event;
    event.t = t;
    event.stamp = 1000 + t;
    event.bytes = bytes;
    event.look = LookAt(bytes);
    for (DatagramTap* tap : taps) {
        tap->OnDatagram(event);
    }
}

}  // namespace

TEST(HtmlReportTextTest, EveryTextIsMadeSafe) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"<script>alert('x')</script>", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
        {"a & b \"c\"", "a &amp; b &quot;c&quot;"},
        {"&amp;", "&amp;amp;"},
        {"tab\tline\n", "tab\tline\n"},
        {std::string("nul\0end", 7), "nul" + kBad + "end"},
        {"\x01\x1b[31m\r\x7f", kBad + kBad + "[31m" + kBad + kBad},
        {"caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80"},
        {"\xFF\xFE", kBad + kBad},
        {"\xC0\xAF", kBad + kBad},                        // an overlong "/"
        {"\xED\xA0\x80", kBad + kBad + kBad},             // a surrogate
        {"\xF4\x90\x80\x80", kBad + kBad + kBad + kBad},  // past U+10FFFF
        {"cut \xE6\x97", "cut " + kBad + kBad},
        {"\xC2\x85 \xEF\xBF\xBE \xEF\xB7\x90", kBad + " " + kBad + " " + kBad},  // C1, non-chars
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(EscapeText(in), out) << in;
    }
}

TEST(HtmlReportTextTest, NumbersAndCommandLinesAreWrittenPlainly) {
    EXPECT_EQ(Num(47.0), "47");
    EXPECT_EQ(Num(0.1 + 0.2, 3), "0.3");
    EXPECT_EQ(Num(-0.04), "0");
    EXPECT_EQ(Num(123456.789, 2), "123456.79");
    EXPECT_EQ(Num(1e300, 0).size(), 301u);
    EXPECT_EQ(Num(std::nan(""), 1), "0");
    const char* arguments[] = {"udpphone-peer", "call", "127.0.0.2", "--play",
                               "my voice.au",   "it's", ""};
    EXPECT_EQ(ShellQuoted(arguments),
              "udpphone-peer call 127.0.0.2 --play 'my voice.au' 'it'\\''s' ''");
}

// Text a run carries goes everywhere text is shown; none of it may turn into markup.
TEST(HtmlReportTextTest, HostileTextNeverBecomesMarkup) {
    const std::string hostile = "<img src=x onerror=alert(1)>\"'&\xFF";
    ReportData data = testsupport::MakeCall({});
    data.head.commandLine = data.head.local = data.head.peer = hostile;
    nlohmann::ordered_json summary = data.head.summary;
    summary[hostile] = hostile;
    summary["reasons"] = {hostile};
    data.head.TakeSummary(summary);
    data.steps[6].text = data.steps[6].reason = hostile;
    data.replies[0].request = hostile;
    const std::string html = RenderReport(data);
    EXPECT_EQ(html.find("<img"), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find('\xFF'), std::string::npos);
    EXPECT_NE(html.find("&lt;img src=x onerror=alert(1)&gt;&quot;&#39;&amp;" + kBad),
              std::string::npos);
}

// Whatever the series, folded or not, the stroke of the column each spike falls in reaches it,
// and no column shows a value the series does not have.
TEST(HtmlReportColumnsTest, ALongSeriesNeverHidesASpike) {
    for (const std::size_t capacity : {std::size_t{1} << 18, std::size_t{64}}) {
        SCOPED_TRACE(capacity);
        std::mt19937_64 random(capacity);
        std::normal_distribution<double> noise(0.047, 0.00005);
        TimeSeries series(capacity);
        struct Spike {
            double t, value;
        };
        std::vector<Spike> spikes;
        std::set<float> values;
        const int count = 100'000;
        for (int i = 0; i < count; ++i) {
            const double t = i * 0.047;
            double value = noise(random);
            if (random() % 5000 == 0) {
                value = random() % 2 == 0 ? 0.0 : 0.5 + static_cast<double>(random() % 100) / 100;
                spikes.push_back({t, value});
            }
            series.Add(t, value);
            values.insert(static_cast<float>(value));
        }
        ASSERT_GE(spikes.size(), 5u);
        ASSERT_EQ(series.Count(), static_cast<std::uint64_t>(count));
        const auto points = series.Points();
        EXPECT_LE(points.size(), capacity);
        const double span = (count - 1) * 0.047;
        const int columns = 830;
        const auto reduced = ReduceToColumns(points, 0, span, columns);
        std::uint64_t held = 0;
        for (const auto& column : reduced) {
            if (column) {
                held += column->points;
                EXPECT_EQ(values.count(column->least) + values.count(column->greatest), 2u);
            }
        }
        EXPECT_EQ(held, points.size());
        // A folded point sits at the time of the first value it holds.
        const double reach = static_cast<double>(series.PerPoint() - 1) * 0.047;
        for (const Spike& spike : spikes) {
            const auto value = static_cast<float>(spike.value);
            bool shown = false;
            for (int at = ColumnOf(spike.t - reach, 0, span, columns);
                 at <= ColumnOf(spike.t, 0, span, columns); ++at) {
                const auto& column = reduced[static_cast<std::size_t>(at)];
                shown = shown || (column && column->least <= value && value <= column->greatest);
            }
            EXPECT_TRUE(shown) << spike.t;
        }
    }
}

TEST(HtmlReportColumnsTest, TimesFallInTheirColumnsAndTheEndsInTheOuterOnes) {
    const struct {
        double t;
        int column;
    } cases[] = {{-1, 0}, {0, 0}, {0.999, 0}, {1.0, 1}, {5.5, 5}, {9.999, 9}, {10, 9}, {11, 9}};
    for (const auto& [t, column] : cases) {
        EXPECT_EQ(ColumnOf(t, 0, 10, 10), column) << t;
    }
    EXPECT_EQ(ColumnOf(3, 5, 5, 10), 0);  // an empty span
}

TEST(HtmlReportHistogramTest, SpacingsFallInBinsOfATenthOfAMillisecondToTheMicrosecond) {
    const struct {
        double seconds;
        int bin;
    } cases[] = {{-0.001, -1},   {0, -1},       {0.041999, -1}, {0.0419994, -1}, {0.0419996, 0},
                 {0.042, 0},     {0.042099, 0}, {0.0421, 1},    {0.04699, 49},   {0.047, 50},
                 {0.051999, 99}, {0.052, 100},  {0.5, 100}};
    SpacingHistogram histogram;
    for (const auto& [seconds, bin] : cases) {
        EXPECT_EQ(SpacingHistogram::BinOf(seconds), bin) << seconds;
        histogram.Add(seconds);
    }
    EXPECT_EQ(histogram.Below(), 4u);
    EXPECT_EQ(histogram.Above(), 2u);
    EXPECT_EQ(histogram.Bins()[0], 3u);
    EXPECT_EQ(histogram.Bins()[50], 1u);
    EXPECT_EQ(histogram.Total(), std::size(cases));
}

// The Seq marks come at the datagram that showed them, and count what the summary counts: a
// gap that a late Seq filled is a reorder, not a gap.
TEST(HtmlReportMarksTest, SeqEventsAreMarkedWhenTheyHappenedAndAgreeWithTheSummary) {
    ReportCollector collector;
    Figures figures;
    const struct {
        double t;
        std::uint16_t seq;
    } arrivals[] = {{0.000, 65530}, {0.047, 65531}, {0.094, 65534},  // 65532 and 65533 skipped
                    {0.141, 65532},                                  // 65532 late
                    {0.188, 65535}, {0.235, 65535},                  // 65535 twice
                    {0.282, 2},                                      // voice wraps to 1: 1 skipped
                    {0.329, 3},     {0.376, 5},     {0.423, 4},      // 4 late: no gap left
                    {0.470, 6}};
    for (const auto& [t, seq] : arrivals) {
        Arrive({&collector, &figures}, t, seq);
    }
    const ReportData& data = collector.Data();
    const struct {
        double t;
        MarkKind kind;
        std::int32_t seq;
        std::uint32_t count;  // a gap's Seqs still missing
    } expected[] = {
        {0.094, MarkKind::SeqGap, 65532, 1},       {0.141, MarkKind::SeqReorder, 65532, 1},
        {0.235, MarkKind::SeqDuplicate, 65535, 1}, {0.282, MarkKind::SeqGap, 1, 1},
        {0.376, MarkKind::SeqGap, 4, 0},           {0.423, MarkKind::SeqReorder, 4, 1}};
    ASSERT_EQ(data.marks.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(data.marks[i].t, expected[i].t) << i;
        EXPECT_EQ(data.marks[i].kind, expected[i].kind) << i;
        EXPECT_EQ(data.marks[i].seq, expected[i].seq) << i;
        EXPECT_EQ(data.marks[i].count, expected[i].count) << i;
    }
    const auto summary = figures.Summary();
    EXPECT_EQ(data.markCounts[static_cast<int>(MarkKind::SeqGap)], summary["seq_gaps"]);
    EXPECT_EQ(data.markCounts[static_cast<int>(MarkKind::SeqDuplicate)], summary["seq_duplicates"]);
    EXPECT_EQ(data.markCounts[static_cast<int>(MarkKind::SeqReorder)], summary["seq_reordered"]);
    EXPECT_EQ(data.receivedSeq.Count(), std::size(arrivals));
    EXPECT_EQ(data.received.spacing.Count(), std::size(arrivals) - 1);
}

// A lane draws each mark in the pixel column of its time, says when in its title, and leaves
// out a gap that a late Seq filled.
TEST(HtmlReportMarksTest, ALaneDrawsEachMarkAtItsTime) {
    const std::vector<Mark> marks = {
        {1.0, MarkKind::Stall, -1, 1},  {5.004, MarkKind::Stall, -1, 1},
        {5.0, MarkKind::Stall, -1, 1},  {9.96, MarkKind::Stall, -1, 1},
        {3.0, MarkKind::Dropped, 7, 1}, {4.0, MarkKind::SeqGap, 9, 0}};
    for (const MarkKind kind : {MarkKind::Stall, MarkKind::SeqGap}) {
        Svg svg("lane", 600, 40, "lane", "lane");
        DrawMarkLane(svg, Frame{100, 10, 400, 14}, marks, kind, 0, 10, 4);
        const std::string out = svg.Finish();
        const std::regex drawn("<rect class=\"mark m-(\\w+)\" x=\"([0-9.]+)\"[^>]*><title>([^<]*)");
        std::vector<std::pair<double, std::string>> found;
        for (auto it = std::sregex_iterator(out.begin(), out.end(), drawn);
             it != std::sregex_iterator(); ++it) {
            EXPECT_EQ((*it)[1], MarkName(kind));
            found.emplace_back(std::stod((*it)[2]), (*it)[3]);
        }
        if (kind == MarkKind::SeqGap) {
            EXPECT_TRUE(found.empty());
            continue;
        }
        // 400 columns over 10 s: 1.0 s in column 40, 5.0 and 5.004 s share column 200.
        const std::vector<std::pair<double, std::string>> wanted = {
            {139.5, "stall: 1 at 1 s"},
            {299.5, "stall: 2 at 5 s to 5.004 s"},
            {497.5, "stall: 1 at 9.96 s"}};
        EXPECT_EQ(found, wanted);
        EXPECT_NE(out.find(">stall 4</text>"), std::string::npos);
    }
}

// The whole page for a one-hour call (76,596 voice datagrams each way) stays far below 4 MB:
// its pictures grow with their width, not with the call.
TEST(HtmlReportPageTest, AnHourLongCallsReportStaysSmallAndShowsItsSpike) {
    testsupport::SampleCall sample;
    sample.seconds = 3600;
    sample.dropped = {1000, 50'000};
    sample.stalls = {900};
    sample.spikeMs = 400;
    const ReportData data = testsupport::MakeCall(sample);
    ASSERT_EQ(data.sent.datagrams, 76'596u - 3);  // three slots lost to the stall
    ASSERT_EQ(data.received.datagrams, 76'596u - 2);
    const std::string html = RenderReport(data);
    EXPECT_LT(html.size(), 1'000'000u);
    const auto largest = data.head.summary["pacing_sent_ms"]["max"].get<double>();
    EXPECT_NEAR(largest, 400, 0.2);
    // The spacing axis reaches the spike.
    const auto sent = html.substr(html.find("<svg id=\"spacing-sent\""));
    EXPECT_NE(sent.substr(0, sent.find("</svg>")).find(">400</text>"), std::string::npos);
}

// A load's page holds its 100 ms intervals, never its requests: 60 s makes 600 of them at any
// rate, here 1,000 a second standing for 100,000.
TEST(HtmlReportPageTest, ALoadsPageGrowsWithItsIntervalsNotItsRequests) {
    const ReportData data = testsupport::MakeLoad(60, 1000);
    ASSERT_EQ(data.load.size(), 600u);
    EXPECT_TRUE(data.replies.empty());
    EXPECT_LT(RenderReport(data).size(), 2'000'000u / 10);
}

// Every picture is well-formed XML that begins with its title and description, whatever text
// the run carried.
TEST(HtmlReportPageTest, EveryPictureIsWellFormedAndNamed) {
    testsupport::SampleCall sample;
    sample.dropped = {5};
    sample.voiceCheck = true;
    sample.failingStepText = "expect reply <ring> & \"talk\" \x01\xFF";
    ReportData data = testsupport::MakeCall(sample);
    const ReportData load = testsupport::MakeLoad(1, 100);
    data.load = load.load;
    const std::string html = RenderReport(data);
    std::vector<std::string> ids;
    for (std::size_t at = 0; (at = html.find("<svg ", at)) != std::string::npos;) {
        const std::size_t end = html.find("</svg>", at) + 6;
        QXmlStreamReader xml(QByteArray::fromStdString(html.substr(at, end - at)));
        std::vector<QString> firstChildren;
        while (!xml.atEnd()) {
            if (xml.readNext() == QXmlStreamReader::StartElement && firstChildren.size() < 3) {
                firstChildren.push_back(xml.name().toString());
            }
        }
        EXPECT_FALSE(xml.hasError())
            << xml.errorString().toStdString() << " in " << html.substr(at, 80);
        EXPECT_EQ(firstChildren, (std::vector<QString>{"svg", "title", "desc"}));
        const std::size_t id = html.find("id=\"", at) + 4;
        ids.push_back(html.substr(id, html.find('"', id) - id));
        at = end;
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"spacing-sent", "spacing-received", "histogram-sent",
                                             "histogram-received", "seq-received", "replies",
                                             "load-counts", "load-latency", "scenario"}));
}

// A scenario or file name that is not UTF-8 reaches the summary's reasons; the summary is still
// printed, as JSON that parses, and readable.
TEST(PeerSummaryTest, NamesThatAreNotUtf8AreStillPrinted) {
    const nlohmann::ordered_json summary = {{"verdict", "fail"},
                                            {"reasons", {"caf\xE9.scenario:2: no reply"}}};
    for (const bool json : {true, false}) {
        std::FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        Report({json, false}, out).Summary(summary);
        std::rewind(out);
        std::string printed(4096, '\0');
        printed.resize(std::fread(printed.data(), 1, printed.size(), out));
        std::fclose(out);
        EXPECT_NE(printed.find("caf" + kBad + ".scenario:2: no reply"), std::string::npos)
            << printed;
        if (json) {
            EXPECT_EQ(nlohmann::json::parse(printed)["summary"]["verdict"], "fail");
        }
    }
}

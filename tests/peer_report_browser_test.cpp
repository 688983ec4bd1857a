// The HTML report as a reader gets it: opened from a file in Debian's headless Chromium with
// every request refused, it asks for nothing, shows no console error, and its pictures and table
// carry the summary's own numbers, in a light and a dark colour scheme.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "peer/report/ReportHtml.h"
#include "support/Chromium.h"
#include "support/ReportSamples.h"

using testsupport::Chromium;
using testsupport::PageLoad;

namespace {

// What the tests read off the page once the browser has it.
constexpr const char* kProbe = R"js((() => {
  const text = (element) => element ? element.textContent : null;
  const summary = {};
  for (const row of document.querySelectorAll('#summary tr')) {
    summary[text(row.querySelector('th'))] = text(row.querySelector('td'));
  }
  return {
    pictures: [...document.querySelectorAll('svg')].map((svg) => ({
      id: svg.id,
      title: text(svg.querySelector(':scope > title')),
      desc: text(svg.querySelector(':scope > desc')),
      label: svg.getAttribute('aria-labelledby'),
      width: svg.getBoundingClientRect().width,
    })),
    summary,
    commandLine: text(document.querySelector('dl.head code')),
    failedStep: text(document.querySelector('#steps tr.failed')),
    fetching: document.querySelectorAll('script, link, img, iframe, object, embed').length,
    background: getComputedStyle(document.body).backgroundColor,
  };
})())js";

class HtmlReportInBrowserTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (::access(testsupport::kChromiumPath, X_OK) == 0) {
            browser_ = std::make_unique<Chromium>();
        }
    }
    static void TearDownTestSuite() { browser_.reset(); }

    void SetUp() override {
        if (!browser_) {
            GTEST_SKIP() << testsupport::kChromiumPath
                         << " is missing: scripts/install-deps.sh installs chromium";
        }
        ASSERT_EQ(browser_->StartFailure(), "");
        folder_ = std::filesystem::temp_directory_path() /
                  ("udpphone-report-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    PageLoad Open(const std::string& name, const std::string& html, bool dark = false) {
        const std::filesystem::path path = folder_ / name;
        std::ofstream(path, std::ios::binary) << html;
        return browser_->Load(path, kProbe, dark);
    }

    static void ExpectClean(const PageLoad& page) {
        EXPECT_EQ(page.failure, "");
        EXPECT_TRUE(page.errors.empty()) << page.errors.front();
        EXPECT_TRUE(page.requests.empty()) << page.requests.front();
        EXPECT_TRUE(page.strays.empty()) << page.strays.front();
        EXPECT_EQ(page.probe["fetching"], 0);
    }

    static inline std::unique_ptr<Chromium> browser_;
    std::filesystem::path folder_;
};

// Nested figures named with dots, each as the JSON prints it: what the head's table must hold.
void Figures(const nlohmann::ordered_json& value, const std::string& name,
             std::map<std::string, std::string>& out) {
    if (value.is_object() && !value.empty()) {
        for (const auto& [key, inner] : value.items()) {
            Figures(inner, name.empty() ? key : name + "." + key, out);
        }
        return;
    }
    out[name] = value.is_string() ? value.get<std::string>() : value.dump();
}

const nlohmann::json& Picture(const PageLoad& page, const std::string& id) {
    static const nlohmann::json none;
    for (const nlohmann::json& picture : page.probe["pictures"]) {
        if (picture["id"] == id) {
            return picture;
        }
    }
    return none;
}

void ExpectPictures(const PageLoad& page, const std::set<std::string>& ids) {
    std::set<std::string> shown;
    for (const nlohmann::json& picture : page.probe["pictures"]) {
        const std::string id = picture["id"];
        shown.insert(id);
        EXPECT_FALSE(picture["title"].get<std::string>().empty()) << id;
        EXPECT_GT(picture["desc"].get<std::string>().size(), 40u) << id;
        EXPECT_EQ(picture["label"], id + "-title " + id + "-desc");
        EXPECT_GT(picture["width"].get<double>(), 300) << id;
    }
    EXPECT_EQ(shown, ids);
}

void ExpectSummaryTable(const PageLoad& page, const nlohmann::ordered_json& summary) {
    std::map<std::string, std::string> figures;
    Figures(summary, "", figures);
    ASSERT_EQ(page.probe["summary"].size(), figures.size());
    for (const auto& [name, value] : figures) {
        EXPECT_EQ(page.probe["summary"].value(name, "(missing)"), value) << name;
    }
}

std::string Printed(const nlohmann::ordered_json& summary, const char* key, const char* field) {
    return summary[key][field].dump();
}

}  // namespace

// The checks below can fail: a page that fetches and complains is caught on every count.
TEST_F(HtmlReportInBrowserTest, TheHarnessCatchesARequestAndAConsoleError) {
    const PageLoad page = Open("planted.html",
                               "<!DOCTYPE html><html><head><title>planted</title></head><body>"
                               "<img src=\"http://stray.invalid/pixel.png\" alt=\"\">"
                               "<script>console.error('planted error')</script></body></html>");
    EXPECT_EQ(page.failure, "");
    ASSERT_FALSE(page.requests.empty());
    EXPECT_EQ(page.requests.front(), "http://stray.invalid/pixel.png");
    ASSERT_FALSE(page.strays.empty());
    EXPECT_EQ(page.strays.front().rfind("GET http://stray.invalid/pixel.png ", 0), 0u)
        << page.strays.front();
    bool planted = false;
    for (const std::string& error : page.errors) {
        planted = planted || error.find("planted error") != std::string::npos;
    }
    EXPECT_TRUE(planted);
}

TEST_F(HtmlReportInBrowserTest, ACallsReportAsksForNothingAndCarriesTheSummary) {
    testsupport::SampleCall sample;
    sample.seconds = 20;
    sample.dropped = {30, 31, 150};
    sample.duplicated = {90};
    sample.reordered = {200};
    sample.stalls = {6.0};
    sample.voiceCheck = true;
    sample.corrupted = {17};
    // Hostile text where a run carries text of its own: it must read back exactly, as text.
    sample.commandLine =
        "udpphone-peer run '</code><script>alert(1)</script>' --x=\"&amp;\" \x01 \xff end";
    sample.failingStepText = "expect reply <img src=x onerror=alert(1)> & \"ring\"";
    const peer::ReportData data = testsupport::MakeCall(sample);
    const nlohmann::ordered_json& summary = data.head.summary;
    ASSERT_EQ(summary["seq_gaps"], 3);
    ASSERT_EQ(summary["seq_duplicates"], 1);
    ASSERT_EQ(summary["seq_reordered"], 1);
    const std::string html = peer::RenderReport(data);

    for (const bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        const PageLoad page = Open(dark ? "call-dark.html" : "call.html", html, dark);
        ExpectClean(page);
        ExpectPictures(page, {"spacing-sent", "spacing-received", "histogram-sent",
                              "histogram-received", "seq-received", "replies", "scenario"});
        ExpectSummaryTable(page, summary);
        EXPECT_EQ(page.probe["background"], dark ? "rgb(23, 24, 26)" : "rgb(255, 255, 255)");
        if (dark) {
            continue;
        }
        EXPECT_EQ(page.probe["commandLine"],
                  "udpphone-peer run '</code><script>alert(1)</script>' --x=\"&amp;\" "
                  "\xEF\xBF\xBD \xEF\xBF\xBD end");
        const std::string failed = page.probe["failedStep"];
        EXPECT_NE(failed.find(sample.failingStepText), std::string::npos) << failed;

        // Each picture's description says the summary's figures as printed.
        const std::string sentDesc = Picture(page, "spacing-sent")["desc"];
        EXPECT_NE(sentDesc.find("median " + Printed(summary, "pacing_sent_ms", "median") + " ms"),
                  std::string::npos)
            << sentDesc;
        EXPECT_NE(sentDesc.find("largest " + Printed(summary, "pacing_sent_ms", "max") + " ms"),
                  std::string::npos);
        EXPECT_NE(sentDesc.find("stall 1"), std::string::npos);
        const std::string histogramDesc = Picture(page, "histogram-received")["desc"];
        EXPECT_NE(histogramDesc.find("99th percentile " +
                                     Printed(summary, "pacing_received_ms", "p99") + " ms"),
                  std::string::npos)
            << histogramDesc;
        const std::string seqDesc = Picture(page, "seq-received")["desc"];
        for (const char* key : {"seq_gaps", "seq_duplicates", "seq_reordered"}) {
            EXPECT_NE(seqDesc.find(std::string(key) + " " + summary[key].dump()), std::string::npos)
                << seqDesc;
        }
        EXPECT_NE(seqDesc.find("gap 3, duplicate 1, reorder 1"), std::string::npos) << seqDesc;
        EXPECT_NE(seqDesc.find("Voice check: 1 corrupted, 3 missing chunks"), std::string::npos)
            << seqDesc;
        const std::string repliesDesc = Picture(page, "replies")["desc"];
        EXPECT_NE(repliesDesc.find("3 requests, 3 answered"), std::string::npos) << repliesDesc;
        EXPECT_NE(repliesDesc.find("median " + Printed(summary, "reply_latency_ms", "median")),
                  std::string::npos);
        const std::string scenarioDesc = Picture(page, "scenario")["desc"];
        EXPECT_NE(scenarioDesc.find("Failed at line 9: " + sample.failingStepText),
                  std::string::npos)
            << scenarioDesc;
    }
}

TEST_F(HtmlReportInBrowserTest, ALoadsReportDrawsItsIntervals) {
    const peer::ReportData data = testsupport::MakeLoad(2, 2000);
    const PageLoad page = Open("load.html", peer::RenderReport(data));
    ExpectClean(page);
    ExpectPictures(page, {"load-counts", "load-latency"});
    ExpectSummaryTable(page, data.head.summary);
    const std::string counts = Picture(page, "load-counts")["desc"];
    EXPECT_NE(counts.find("20 intervals, 4000 sent and 4000 replies"), std::string::npos) << counts;
    EXPECT_NE(counts.find("answered_percent 100.0"), std::string::npos) << counts;
    const std::string latency = Picture(page, "load-latency")["desc"];
    EXPECT_NE(
        latency.find("99th percentile " + Printed(data.head.summary, "reply_latency_ms", "p99")),
        std::string::npos)
        << latency;
}

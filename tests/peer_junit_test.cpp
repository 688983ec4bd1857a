// The JUnit file as a CI server reads it: valid against the common schema (tests/junit.xsd, by
// xmllint), with its counts true and any reason a device provokes given back readable.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>
#include <string>

#include "peer/checks/JUnit.h"
#include "support/Xmllint.h"

using namespace peer;
using namespace testsupport;
using namespace std::string_literals;

namespace {

class JUnitFile {
  public:
    explicit JUnitFile(const std::string& xml) : path_(directory_.filePath("junit.xml")) {
        std::ofstream(path_.toStdString(), std::ios::binary) << xml;
    }
    Lint Validate() const { return ValidateJUnit(path_); }
    std::string Query(const char* xpath) const { return XPathValue(path_, xpath); }

  private:
    QTemporaryDir directory_;
    QString path_;
};

JUnitCase Passed(const std::string& name, double seconds) {
    return {name, "udpphone-peer.run", seconds, JUnitCase::Outcome::Passed, "", "", ""};
}

}  // namespace

TEST(JUnitTest, ARunWithOneFailedStepValidatesAndListsExactlyOneFailure) {
    const std::string reason = "step 3 (line 7): expect accepted: reply with status 2";
    JUnitSuite run{
        "udpphone-peer run ring.scn",         JUnitTimestamp(1714567890), JUnitHostname(), 12.5, {},
        R"({"summary": {"verdict": "fail"}})"};
    run.cases = {Passed("step 1 (line 3): send ring", 0.001),
                 Passed("step 2 (line 5): expect accepted", 0.0123),
                 {"step 3 (line 7): expect accepted", "udpphone-peer.run", 1.0,
                  JUnitCase::Outcome::Failed, reason, "reply", ""},
                 {"step 4 (line 9): send hangup", "udpphone-peer.run", 0,
                  JUnitCase::Outcome::Skipped, "not reached after a failed step", "", ""},
                 Passed("voice pacing", 10.2),
                 Passed("voice check", 10.2)};
    const std::string xml = JUnitXml(std::span(&run, 1));
    const JUnitFile file(xml);

    const Lint lint = file.Validate();
    EXPECT_EQ(lint.exitCode, 0) << lint.errors << xml;
    EXPECT_EQ(file.Query("count(//testsuite)"), "1");
    EXPECT_EQ(file.Query("count(//testcase)"), "6");
    EXPECT_EQ(file.Query("count(//failure)"), "1");
    EXPECT_EQ(file.Query("string(//testcase[failure]/@name)"), "step 3 (line 7): expect accepted");
    EXPECT_EQ(file.Query("string(//failure/@message)"), reason);
    EXPECT_EQ(file.Query("concat(//testsuite/@tests, ' ', //testsuite/@failures, ' ', "
                         "//testsuite/@errors, ' ', //testsuite/@skipped, ' ', //testsuite/@time)"),
              "6 1 0 1 12.500");
    EXPECT_EQ(file.Query("concat(/testsuites/@tests, ' ', /testsuites/@failures)"), "6 1");

    // The schema holds the file to its shape: without the host name it is refused.
    const std::size_t host = xml.find(" hostname=");
    const std::size_t end = xml.find('"', xml.find('"', host) + 1);
    const JUnitFile hostless(xml.substr(0, host) + xml.substr(end + 1));
    EXPECT_NE(hostless.Validate().exitCode, 0);
}

TEST(JUnitTest, AnyBytesInAReasonGiveWellFormedXmlThatShowsThem) {
    const struct {
        std::string raw, shown;
    } reasons[] = {
        {"<tag attr=\"v\"> & 'q' ]]>", "<tag attr=\"v\"> & 'q' ]]>"},
        {"grüße € 😀", "grüße € 😀"},
        {"tab\tnewline\nreturn\r.", "tab\tnewline\nreturn\r."},
        {"nul\0, bell\a, escape\x1b[31m"s, "nul\\x00, bell\\x07, escape\\x1B[31m"},
        {"latin-1 \xfc and \xff\xfe", "latin-1 \\xFC and \\xFF\\xFE"},
        {"overlong \xc0\xaf, surrogate \xed\xa0\x80",
         "overlong \\xC0\\xAF, surrogate \\xED\\xA0\\x80"},
        {"not a character \xef\xbf\xbe, beyond \xf4\x90\x80\x80",
         "not a character \\xEF\\xBF\\xBE, beyond \\xF4\\x90\\x80\\x80"},
        {"cut short \xe2\x82", "cut short \\xE2\\x82"},
    };
    for (const auto& reason : reasons) {
        const JUnitSuite run{
            reason.raw,
            JUnitTimestamp(0),
            reason.raw,
            1,
            {
                {reason.raw, reason.raw, 1, JUnitCase::Outcome::Failed, reason.raw, reason.raw,
                 reason.raw},
                {reason.raw, reason.raw, 1, JUnitCase::Outcome::Error, reason.raw, reason.raw, ""},
            },
            reason.raw};
        const JUnitFile file(JUnitXml(std::span(&run, 1)));
        const Lint lint = file.Validate();
        EXPECT_EQ(lint.exitCode, 0) << reason.shown << "\n" << lint.errors;
        for (const char* where : {"string(//failure/@message)", "string(//failure)",
                                  "string(//testcase[1]/@name)", "string(//testsuite/@hostname)",
                                  "string(//testcase[1]/system-out)", "string(//error/@type)"}) {
            EXPECT_EQ(file.Query(where), reason.shown) << where;
        }
    }
}

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "shell/Exceptions.h"
#include "shell/Report.h"
#include "support/RecordingBoxes.h"

using namespace std::string_literals;
using testsupport::Boxes;

namespace {

class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::ResetBoxes(); }
    void TearDown() override { testsupport::ResetBoxes(); }
};

EConvertError RaisedAtOnePlace(const std::string& message) {
    return EConvertError(message);
}

}  // namespace

TEST(RecoverableTextTest, AppendsAPeriodAfterWhatSortsAfterIt) {
    // "/" is the first character after "."; a stray continuation byte is a character of its own.
    for (const std::string& message :
         {"Invalid buffer"s, "port 12"s, "'' は整数ではありません"s, "a/"s, "a~"s, ".\x80"s}) {
        EXPECT_EQ(shell::RecoverableText(message), message + ".");
    }
    for (const std::string& message :
         {""s, "done."s, "blank "s, "line\n"s, "bang!"s, "dash-"s, "comma,"s}) {
        EXPECT_EQ(shell::RecoverableText(message), message);
    }
}

TEST(FatalTextTest, NamesClassModulePositionAndMessage) {
    EXPECT_TRUE(std::regex_match(shell::FatalText(EConvertError("boom"), "udpphone"),
                                 std::regex("EConvertErrorがモジュール udpphone の [0-9A-F]{8} "
                                            "で発生しました。\nboom\\.")));
    // Only a final "." suppresses the period here.
    const std::pair<std::string, std::string> endings[] = {
        {"", "。\n"}, {"end.", "\nend."}, {"blank ", "\nblank ."}, {"bang!", "\nbang!."}};
    for (const auto& [message, ending] : endings) {
        const std::string shown = shell::FatalText(Exception(message), "m");
        EXPECT_TRUE(shown.ends_with(ending)) << shown;
    }

    // The position is a stable figure of the raising code, which a wrapping EReadError keeps.
    const std::string first = shell::FatalText(RaisedAtOnePlace("x"), "m");
    EXPECT_EQ(shell::FatalText(RaisedAtOnePlace("x"), "m"), first);
    EXPECT_NE(shell::FatalText(EConvertError("x"), "m"), first);
    const EReadError wrapped("Timer1", "OnTimer", RaisedAtOnePlace("x"));
    EXPECT_EQ(wrapped.Position(), RaisedAtOnePlace("x").Position());
    EXPECT_TRUE(shell::FatalText(wrapped, "m").starts_with("EReadErrorがモジュール m"));
}

TEST_F(ReportTest, OneBoxAtATimeNoneForARepeatOfTheClosedOneAndAFailedBoxBlocksNothing) {
    Boxes().whileOpen = [](const testsupport::RecordedBox&) {
        ReportException(Exception("second"));  // dropped while a box is open
        ReportException(Exception("first"));
    };
    ReportException(Exception("first"));
    Boxes().whileOpen = nullptr;
    EXPECT_EQ(Boxes().mostOpenAtOnce, 1);
    ReportException(Exception("first"));
    ReportException(Exception("first."));  // the same box text
    ReportException(Exception("other"));
    ReportException(Exception("first"));  // no longer the text just closed
    Boxes().whileOpen = [](const testsupport::RecordedBox&) {
        throw std::runtime_error("no display");
    };
    ReportException(Exception("broken"));
    Boxes().whileOpen = nullptr;
    ReportException(Exception("after"));
    std::vector<std::string> texts;
    for (const auto& box : Boxes().shown) {
        texts.push_back(box.text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"first.", "other.", "first.", "broken.", "after."}));
}

TEST_F(ReportTest, TheRepeatIsShownAgainThreeSecondsAfterTheClose) {
    ReportException(Exception("repeating"));
    const auto closed = std::chrono::steady_clock::now();
    std::this_thread::sleep_until(closed + std::chrono::milliseconds(2500));
    ReportException(Exception("repeating"));  // dropped, and not a new start of the quiet period
    ASSERT_EQ(Boxes().shown.size(), 1u);
    std::this_thread::sleep_until(closed + std::chrono::milliseconds(3100));
    ReportException(Exception("repeating"));
    EXPECT_EQ(Boxes().shown.size(), 2u);
}

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "shell/Exceptions.h"
#include "shell/Report.h"
#include "shell/TextConversions.h"
#include "support/RecordingBoxes.h"

using namespace std::string_literals;
using testsupport::Boxes;

namespace {

class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::ResetBoxes(); }
    void TearDown() override { testsupport::ResetBoxes(); }

    static std::vector<std::string> ShownTexts() {
        std::vector<std::string> texts;
        for (const auto& box : Boxes().shown) {
            texts.push_back(box.text);
        }
        return texts;
    }
};

EConvertError RaisedAtOnePlace(const std::string& message) {
    return EConvertError(message);
}

}  // namespace

TEST(RecoverableTextTest, AppendsAPeriodAfterWhatSortsAfterIt) {
    // "/" is the first character after "."; a stray continuation byte is a character of its own.
    const std::vector<std::string> appended = {
        "Invalid buffer", "port 12", "整数ではありません", "a/", "a~", ".\x80"s};
    for (const std::string& message : appended) {
        EXPECT_EQ(shell::RecoverableText(message), message + ".");
    }
    const std::vector<std::string> unchanged = {"",      "done.", "blank ", "line\n",
                                                "bang!", "dash-", "comma,"};
    for (const std::string& message : unchanged) {
        EXPECT_EQ(shell::RecoverableText(message), message);
    }
}

TEST(FatalTextTest, NamesClassModulePositionAndMessage) {
    const std::string prefix = "EConvertErrorがモジュール udpphone の ";
    const std::string suffix = " で発生しました。\nboom.";
    const std::string text = shell::FatalText(EConvertError("boom"), "udpphone");
    ASSERT_EQ(text.size(), prefix.size() + 8 + suffix.size()) << text;
    EXPECT_TRUE(text.starts_with(prefix) && text.ends_with(suffix)) << text;
    const std::string position = text.substr(prefix.size(), 8);
    EXPECT_EQ(position.find_first_not_of("0123456789ABCDEF"), std::string::npos) << position;

    // Only a final "." suppresses the period here.
    const struct {
        std::string message;
        std::string ending;
    } cases[] = {{"", "。\n"}, {"end.", "\nend."}, {"blank ", "\nblank ."}, {"bang!", "\nbang!."}};
    for (const auto& c : cases) {
        const std::string shown = shell::FatalText(Exception(c.message), "m");
        EXPECT_TRUE(shown.ends_with(c.ending)) << shown;
    }

    // The position is a stable figure of the raising code.
    const std::string first = shell::FatalText(RaisedAtOnePlace("x"), "m");
    EXPECT_EQ(shell::FatalText(RaisedAtOnePlace("x"), "m"), first);
    EXPECT_NE(shell::FatalText(EConvertError("x"), "m"), first);
}

TEST(EReadErrorTest, WrapsTheInnerMessageAndKeepsItsPosition) {
    const EOutOfResources inner("タイマーを取得できません");
    const EReadError error("Timer1", "OnTimer", inner);
    EXPECT_STREQ(error.ClassName(), "EReadError");
    EXPECT_EQ(error.Message(), "Timer1.OnTimer の読み込み中のエラー : タイマーを取得できません");
    EXPECT_EQ(error.Position(), inner.Position());
    EXPECT_TRUE(shell::FatalText(error, "udpphone").starts_with("EReadErrorがモジュール udpphone"));
}

TEST_F(ReportTest, FatalReportWritesStandardErrorAndTheFatalBox) {
    ::testing::internal::CaptureStderr();
    FatalReport(Exception("Socket failed"));
    const std::string printed = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(Boxes().shown.size(), 1u);
    const auto& box = Boxes().shown[0];
    EXPECT_TRUE(box.fatal);
    EXPECT_EQ(box.title, "アプリケーション エラー");
    EXPECT_TRUE(box.text.starts_with("Exceptionがモジュール report_test の ")) << box.text;
    EXPECT_EQ(printed, box.text + "\n");
}

TEST_F(ReportTest, ConversionErrorShowsWithTheTitleAndAPeriod) {
    try {
        StrToInt("");
        FAIL() << "empty text converted";
    } catch (const Exception& error) {
        ReportException(error);
    }
    ASSERT_EQ(Boxes().shown.size(), 1u);
    EXPECT_FALSE(Boxes().shown[0].fatal);
    EXPECT_EQ(Boxes().shown[0].title, "report_test");
    EXPECT_EQ(Boxes().shown[0].text, "'' は整数ではありません.");
}

TEST_F(ReportTest, ErrorsWhileABoxIsOpenAreDropped) {
    Boxes().whileOpen = [](const testsupport::RecordedBox&) {
        ReportException(Exception("second"));
        ReportException(Exception("first"));
    };
    ReportException(Exception("first"));
    EXPECT_EQ(ShownTexts(), std::vector<std::string>{"first."});
    EXPECT_EQ(Boxes().mostOpenAtOnce, 1);
}

TEST_F(ReportTest, ARepeatOfTheClosedBoxIsDroppedButOtherTextsAreShown) {
    ReportException(Exception("tick failed"));
    ReportException(Exception("tick failed"));
    ReportException(Exception("tick failed."));  // the same box text
    ReportException(Exception("other"));
    ReportException(Exception("tick failed"));  // no longer the text just closed
    EXPECT_EQ(ShownTexts(), (std::vector<std::string>{"tick failed.", "other.", "tick failed."}));
}

TEST_F(ReportTest, ABoxThatFailsToShowDoesNotBlockLaterReports) {
    Boxes().whileOpen = [](const testsupport::RecordedBox&) {
        throw std::runtime_error("no display");
    };
    ReportException(Exception("first"));
    Boxes().whileOpen = nullptr;
    ReportException(Exception("second"));
    EXPECT_EQ(ShownTexts(), (std::vector<std::string>{"first.", "second."}));
}

TEST_F(ReportTest, TheRepeatIsShownAgainThreeSecondsAfterTheClose) {
    using Clock = std::chrono::steady_clock;
    ReportException(Exception("repeating"));
    const auto closed = Clock::now();
    std::this_thread::sleep_until(closed + std::chrono::milliseconds(2500));
    ReportException(Exception("repeating"));  // dropped, and not a new start of the quiet period
    ASSERT_EQ(Boxes().shown.size(), 1u);
    std::this_thread::sleep_until(closed + std::chrono::milliseconds(3100));
    ReportException(Exception("repeating"));
    EXPECT_EQ(Boxes().shown.size(), 2u);
}

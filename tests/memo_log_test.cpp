// The log in Memo1: the lines of a burst go in together yet look as if inserted one at a time,
// also when they go in over many slices with ticks, a box, a nested wait or the operator's hand
// between; they are in place before anything nested can look, and a full memo drops the
// program's oldest lines while keeping what the operator typed.

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>

#include "net/NMUDP.h"
#include "shell/Gathering.h"
#include "shell/Guard.h"
#include "shell/MessageLoop.h"
#include "shell/Timer.h"
#include "support/PhoneCalls.h"

using namespace testsupport;

namespace {

constexpr int kLimit = controls::kMemoMaxCharacters;

std::string Line(char fill, int length) {
    return std::string(static_cast<std::size_t>(length), fill);
}

struct MemoState {
    QString text;
    int caret;
    int scroll;
    bool operator==(const MemoState&) const = default;
};

MemoState StateOf(const QPlainTextEdit* memo) {
    return {memo->toPlainText(), memo->textCursor().position(), memo->verticalScrollBar()->value()};
}

// What a screen reader reads of the memo: its whole text and the caret.
MemoState AccessibleStateOf(QPlainTextEdit* memo) {
    QAccessibleTextInterface* text = QAccessible::queryAccessibleInterface(memo)->textInterface();
    return {text->text(0, text->characterCount()), text->cursorPosition(),
            memo->verticalScrollBar()->value()};
}

// What comes between two slices of a settle.
enum class Between { Ticks, Box, NestedWait, Typing, Click, Wheel };

// The operator's hand, the same on both windows.
void Act(Between between, QPlainTextEdit* memo) {
    const QPointF onSecondLine(4, memo->fontMetrics().lineSpacing() * 1.5 + 4);
    switch (between) {
        case Between::Typing: {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x");
            QCoreApplication::sendEvent(memo, &press);
            break;
        }
        case Between::Click: {
            QMouseEvent press(QEvent::MouseButtonPress, onSecondLine,
                              memo->mapToGlobal(onSecondLine), Qt::LeftButton, Qt::LeftButton,
                              Qt::NoModifier);
            QMouseEvent release(QEvent::MouseButtonRelease, onSecondLine,
                                memo->mapToGlobal(onSecondLine), Qt::LeftButton, Qt::NoButton,
                                Qt::NoModifier);
            QCoreApplication::sendEvent(memo->viewport(), &press);
            QCoreApplication::sendEvent(memo->viewport(), &release);
            break;
        }
        case Between::Wheel: {
            QWheelEvent wheel(onSecondLine, memo->mapToGlobal(onSecondLine), QPoint(),
                              QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                              false);
            QCoreApplication::sendEvent(memo->viewport(), &wheel);
            break;
        }
        default:
            break;
    }
}

TEST(MemoLogTest, ASettleInSlicesEndsAsOneAtATimeInsertionWhateverComesBetweenItsSlices) {
    // Room left for the burst in the near-full memo: it removes older program lines, and some of
    // its own, but never what the operator typed.
    const QString nearFull =
        QString(99, QLatin1Char('o')).append('\n').repeated((kLimit - 30'000) / 100) + "Memo1";
    const struct {
        const char* name;
        Between between;
        QString before;
    } cases[] = {
        {"ticks", Between::Ticks, "typed by hand\nMemo1"},
        {"ticks, near the limit", Between::Ticks, nearFull},
        {"a box", Between::Box, "typed by hand\nMemo1"},
        {"a nested wait", Between::NestedWait, "typed by hand\nMemo1"},
        {"the operator typing", Between::Typing, "typed by hand\nMemo1"},
        {"the operator clicking", Between::Click, "typed by hand\nMemo1"},
        {"the operator scrolling", Between::Wheel, "typed by hand\nMemo1"},
    };
    std::vector<std::string> lines;
    for (int i = 0; i < 1000; ++i) {
        lines.push_back("Read: 12 7A 65 6C 6B " + std::to_string(i) + " 00 05 00 01 00");
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetBoxes();
        auto single = MakeWindow();
        auto sliced = MakeWindow();
        for (TForm1* window : {single.get(), sliced.get()}) {
            // A tick every few milliseconds: the settle is cut into many slices.
            window->Timer1->SetInterval(3);
            window->show();
            window->Memo1->setPlainText(c.before);
            controls::InsertLineAtTop(window->Memo1, "Read: older");
            window->Memo1->verticalScrollBar()->setValue(3);  // scrolled away by the operator
        }
        for (const std::string& line : lines) {
            controls::InsertLineAtTop(single->Memo1, line);
        }
        Act(c.between, single->Memo1);
        {
            shell::GatherScope burst;
            for (const std::string& line : lines) {
                controls::InsertLineAtTop(sliced->Memo1, line);
            }
        }
        ASSERT_TRUE(shell::SettleInProgress()) << "the burst takes more than one slice";
        std::optional<MemoState> behindBox;
        switch (c.between) {
            case Between::Box:
                Boxes().whileOpen = [&](const RecordedBox&) { behindBox = StateOf(sliced->Memo1); };
                shell::Guarded([] { throw Exception("between two slices"); });
                Boxes().whileOpen = nullptr;
                ASSERT_TRUE(behindBox);
                EXPECT_EQ(*behindBox, StateOf(single->Memo1))
                    << "every line in place behind the box";
                break;
            case Between::NestedWait:
                shell::ProcessPendingMessages();
                EXPECT_EQ(StateOf(sliced->Memo1), StateOf(single->Memo1))
                    << "every line in place before anything nested runs";
                break;
            default:
                Act(c.between, sliced->Memo1);
                break;
        }
        ASSERT_TRUE(WaitUntilSettled());
        EXPECT_EQ(StateOf(sliced->Memo1), StateOf(single->Memo1));
        EXPECT_EQ(AccessibleStateOf(sliced->Memo1), StateOf(sliced->Memo1));
        EXPECT_LE(sliced->Memo1->document()->characterCount() - 1, kLimit);
    }
}

TEST(MemoLogTest, ABurstLeavesWhatOneAtATimeInsertionLeaves) {
    // The near-full case: the burst removes old program lines, then its own oldest lines, and
    // refuses one line longer than all of that together.
    const struct {
        const char* name;
        QString before;
        std::vector<std::string> programLines;  // put in one at a time before the burst
        std::vector<std::string> burst;
        bool oldestProgramLineStays;
    } cases[] = {
        {"roomy", "Memo1", {"Read: older"}, {"Dial: 1", "Send: 01 05", "Read: 12 7A", "x"}, true},
        {"full",
         QString(99, QLatin1Char('o')).append('\n').repeated((kLimit - 300) / 100) + "Memo1",
         {Line('a', 40), Line('b', 40), Line('c', 40)},
         {Line('1', 60), Line('2', 60), Line('3', 150), Line('4', 400), Line('5', 20), ""},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto single = MakeWindow();
        auto gathered = MakeWindow();
        for (TForm1* window : {single.get(), gathered.get()}) {
            window->show();
            window->Memo1->setPlainText(c.before);
            for (const std::string& line : c.programLines) {
                controls::InsertLineAtTop(window->Memo1, line);
            }
            window->Memo1->verticalScrollBar()->setValue(3);  // scrolled away by the operator
        }
        for (const std::string& line : c.burst) {
            controls::InsertLineAtTop(single->Memo1, line);
        }
        {
            shell::GatherScope burst;
            const MemoState before = StateOf(gathered->Memo1);
            for (const std::string& line : c.burst) {
                controls::InsertLineAtTop(gathered->Memo1, line);
            }
            EXPECT_EQ(StateOf(gathered->Memo1), before) << "nothing goes in before the burst ends";
        }
        ASSERT_TRUE(WaitUntilSettled());
        EXPECT_EQ(StateOf(gathered->Memo1), StateOf(single->Memo1));
        // The first line into a shown memo gets there by a few more edits than the rest; it is
        // the program's all the same, and the first to go.
        EXPECT_EQ(
            gathered->Memo1->toPlainText().contains(QString::fromStdString(c.programLines.front())),
            c.oldestProgramLineStays);
        EXPECT_LE(gathered->Memo1->document()->characterCount() - 1, kLimit);
    }
}

TEST(MemoLogTest, AtTheLimitTheProgramsOldestLinesGoAndTheOperatorsTextStays) {
    auto window = MakeWindow();
    QPlainTextEdit* memo = window->Memo1;
    QTextCursor typing(memo->document());
    typing.insertText("typed by hand\n");  // as the operator would, above "Memo1"
    {
        // 3,999 lines of 999 characters, oldest first: 3,999,000 characters with their breaks.
        shell::GatherScope burst;
        for (int i = 0; i < 3999; ++i) {
            controls::InsertLineAtTop(memo, Line(static_cast<char>('A' + i % 26), 999));
        }
    }
    ASSERT_TRUE(WaitUntilSettled());
    ASSERT_EQ(memo->document()->characterCount() - 1, 3'999'000 + 14 + 5);
    // The operator edits the oldest program line: from then on it is the operator's.
    QTextBlock oldest = memo->document()->findBlockByNumber(3998);
    QTextCursor edit(oldest);
    edit.movePosition(QTextCursor::EndOfBlock);
    edit.insertText("!");

    controls::InsertLineAtTop(memo, Line('n', 2000));  // needs two old lines removed
    QStringList lines = memo->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 1 + 3996 + 3);
    EXPECT_EQ(lines.front(), QString(2000, QLatin1Char('n')));
    EXPECT_EQ(lines[3996], QString(999, QLatin1Char('D')));  // the fourth oldest is next
    EXPECT_EQ(lines[3997], QString(999, QLatin1Char('A')) + "!");
    EXPECT_EQ(lines[3998], "typed by hand");
    EXPECT_EQ(lines[3999], "Memo1");

    // Never refused while program lines remain: this one takes most of them.
    controls::InsertLineAtTop(memo, Line('m', 3'000'000));
    lines = memo->toPlainText().split(QLatin1Char('\n'));
    EXPECT_EQ(lines.front(), QString(3'000'000, QLatin1Char('m')));
    EXPECT_EQ(lines[1], QString(2000, QLatin1Char('n')));
    EXPECT_EQ(lines.mid(lines.size() - 3),
              QStringList({QString(999, QLatin1Char('A')) + "!", "typed by hand", "Memo1"}));
    EXPECT_LE(memo->document()->characterCount() - 1, kLimit);
    EXPECT_GT(memo->document()->characterCount() - 1, kLimit - 1000);
}

using MemoBurstTest = PeerCallTest;

TEST_F(MemoBurstTest, LinesArePutInPlaceBeforeAnErrorBoxOfTheBurstOpens) {
    Deliver(Request(1, 7, 5));  // an accepted Ring, so that the socket holds its bytes
    ASSERT_FALSE(Next().empty());
    const std::string afterRing = Memo();
    QString shownBehindBox;
    Boxes().whileOpen = [&](const RecordedBox&) { shownBehindBox = window->Memo1->toPlainText(); };
    {
        // The same Ring again, from an address no reply can go to: its "Dial: " line is logged,
        // then the reply fails and the report opens its box inside the burst.
        shell::GatherScope burst;
        shell::Guarded([&] { window->UDPSockDataReceived(*window->UDPSock, 12, "0.0.0.0", 1); });
    }
    ASSERT_EQ(Boxes().shown.size(), 1u);
    EXPECT_EQ(Boxes().shown[0].text, "Null Remote Address.");
    EXPECT_EQ(shownBehindBox.toStdString(), "Dial: 7\n" + afterRing);
    EXPECT_EQ(Memo(), "Dial: 7\n" + afterRing);
}

TEST(MemoLogTest, WhatALookupWaitDispatchesSeesTheLinesGatheredBeforeIt) {
    auto window = MakeWindow();
    std::vector<std::string> seen;
    auto look = [&] { seen.push_back(window->Memo1->toPlainText().toStdString()); };
    shell::GatherScope burst;
    controls::InsertLineAtTop(window->Memo1, "first");
    QTimer::singleShot(0, look);
    shell::ProcessPendingMessages();  // the two ways a send waits for its lookup
    controls::InsertLineAtTop(window->Memo1, "second");
    bool looked = false;
    QTimer::singleShot(0, [&] {
        look();
        looked = true;
    });
    shell::WaitUntil([&] { return looked; });
    EXPECT_EQ(seen, (std::vector<std::string>{"first\nMemo1", "second\nfirst\nMemo1"}));
}

TEST_F(MemoBurstTest, AfterABurstTheViewAndTheAccessibleTextShowTheNewestLine) {
    window->show();
    window->Memo1->setPlainText(QString("older\n").repeated(50) + "Memo1");
    window->Memo1->verticalScrollBar()->setValue(window->Memo1->verticalScrollBar()->maximum());
    for (int target = 1; target <= 5; ++target) {
        Deliver(Request(target, target, 7));  // from eIP: accepted, two lines each
    }
    ASSERT_TRUE(WaitFor([&] { return window->Memo1->document()->blockCount() == 51 + 10; }));
    ASSERT_TRUE(WaitUntilSettled());
    const QString newest = "Read: 12 7A 65 6C 6B 05 00 05 00 07 00 01 00";
    EXPECT_TRUE(window->Memo1->toPlainText().startsWith(newest + "\nSend: 05 07\nRead: 12"));
    EXPECT_EQ(window->Memo1->textCursor().position(), newest.size() + 1);
    EXPECT_EQ(window->Memo1->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(window->Memo1->viewport()->rect().contains(window->Memo1->cursorRect()));

    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(window->Memo1);
    ASSERT_NE(accessible, nullptr);
    QAccessibleTextInterface* text = accessible->textInterface();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text(0, text->characterCount()), window->Memo1->toPlainText());
    EXPECT_EQ(text->cursorPosition(), window->Memo1->textCursor().position());
    EXPECT_NE(accessible->editableTextInterface(), nullptr);
    EXPECT_FALSE(accessible->state().readOnly);
}

}  // namespace

// When the log's text buffer is compacted: at once, where Qt would otherwise do it in the quiet
// stretch around a tick, and without a trace in the text.

#include <gtest/gtest.h>

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "app/MemoCompaction.h"

using namespace std::chrono_literals;
using controls::CompactionSchedule;
using controls::kQtCompactsAfter;

namespace {

TEST(MemoCompactionTest, CompactsNowOnlyWhenQtWouldReachItsMarkAroundTheTick) {
    QTextDocument document;
    document.setUndoRedoEnabled(false);
    const auto start = CompactionSchedule::Clock::now();
    const struct {
        const char* name;
        qsizetype removed;
        std::chrono::milliseconds after;
        std::optional<std::chrono::milliseconds> timeToTick;
        bool due;
    } cases[] = {
        // 40,000 characters in 100 ms: the mark is 23 ms away.
        {"no tick to keep clear of", 40'000, 100ms, std::nullopt, false},
        {"mark in the stretch before the tick", 40'000, 100ms, 25ms, true},
        {"mark in the tick's own delay", 40'000, 100ms, 20ms, true},
        {"mark just past the tick's delay, within a faster pace", 40'000, 100ms, 16ms, true},
        {"mark just before the stretch, within a slower pace", 45'000, 100ms, 25ms, true},
        {"too early to tell: a later settle decides", 40'000, 100ms, 40ms, false},
        {"already in the stretch", 40'000, 100ms, 12ms, false},
        {"mark before the stretch", 48'000, 100ms, 25ms, false},
        {"mark after the tick", 30'000, 100ms, 20ms, false},
        {"too fast: the stretch alone reaches the mark", 40'000, 10ms, 20ms, false},
        {"nothing removed", 0, 100ms, 25ms, false},
        {"Qt compacted at the last removal", kQtCompactsAfter + 1, 100ms, 25ms, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CompactionSchedule schedule;
        schedule.CompactNow(&document, start);
        schedule.Removed(c.removed, start + c.after);
        EXPECT_EQ(schedule.Due(c.timeToTick, start + c.after), c.due);
    }
}

TEST(MemoCompactionTest, CompactingLeavesTextMarksCursorsAndUndoAsTheyWere) {
    QTextDocument document;
    QTextCursor(&document).insertText("Read: 12 7A\nSend: 01 05\ntyped by hand\nMemo1");
    int state = 7;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        block.setUserState(state++);
    }
    QTextCursor caret(&document);
    caret.movePosition(QTextCursor::End);
    QTextCursor selection(&document);
    selection.setPosition(30);
    selection.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    int changes = 0;
    QObject::connect(&document, &QTextDocument::contentsChange, [&] { ++changes; });
    const QString text = document.toPlainText();

    document.setUndoRedoEnabled(false);  // as for every edit of the program's
    CompactionSchedule().CompactNow(&document);
    document.setUndoRedoEnabled(true);

    EXPECT_EQ(document.toPlainText(), text);
    EXPECT_EQ(changes, 0) << "nothing for the view or a screen reader to take in";
    state = 7;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        EXPECT_EQ(block.userState(), state++);
    }
    EXPECT_EQ(caret.position(), text.size());
    EXPECT_EQ(selection.anchor(), 30);
    EXPECT_EQ(selection.position(), text.size());
    EXPECT_FALSE(document.isUndoAvailable());
}

}  // namespace

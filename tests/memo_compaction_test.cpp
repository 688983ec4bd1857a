// When the log's text buffer is compacted: the program follows Qt's count and buffer, makes an
// edit that would have Qt compact only where there is room before the tick, and compacts what is
// owed later without a trace in the text.

#include <gtest/gtest.h>

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "app/MemoCompaction.h"

using namespace std::chrono_literals;
using controls::BufferEdit;
using controls::CompactionSchedule;
using controls::kQtCompactsAfter;

namespace {

TEST(MemoCompactionTest, AnEditThatWouldMakeQtCompactGoesOnlyWhereThereIsRoom) {
    using Way = CompactionSchedule::Way;
    QTextDocument document;  // one character: Qt's buffer grows to 131,064 for 100,000
    constexpr qsizetype kMark = kQtCompactsAfter;
    struct Edit {
        BufferEdit edit;
        std::chrono::milliseconds room;
        Way way;
    };
    const Edit fill{{100'000, 0}, 0ms, Way::UndoOff};
    const struct {
        const char* name;
        std::vector<Edit> edits;
        bool owed;
    } cases[] = {
        {"removals up to Qt's mark",
         {{{118'000, 0}, 0ms, Way::UndoOff}, {{0, kMark}, 0ms, Way::UndoOff}},
         false},
        {"past it, in a full enough buffer, without room: uncounted, and owed",
         {{{118'000, 0}, 0ms, Way::UndoOff},
          {{0, kMark}, 0ms, Way::UndoOff},
          {{0, 1}, 0ms, Way::UndoOn}},
         true},
        {"past it where the room holds a compaction, and counted afresh after it",
         {{{118'000, 0}, 0ms, Way::UndoOff},
          {{0, kMark + 1}, 1000ms, Way::UndoOff},
          {{0, kMark}, 0ms, Way::UndoOff}},
         false},
        {"past it in a buffer not full enough: Qt only looks",
         {fill, {{0, kMark + 1}, 0ms, Way::UndoOff}, {{17'000, 0}, 0ms, Way::UndoOff}},
         false},
        {"then the edit that fills it enough waits for the tick, or goes where there is room",
         {fill,
          {{0, kMark + 1}, 0ms, Way::UndoOff},
          {{18'000, 0}, 0ms, Way::Wait},
          {{18'000, 0}, 1000ms, Way::UndoOff},
          {{0, kMark}, 0ms, Way::UndoOff}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CompactionSchedule schedule;
        schedule.Start(document);
        for (const Edit& edit : c.edits) {
            const Way way = schedule.WayFor(edit.edit, edit.room, document);
            EXPECT_EQ(way, edit.way) << edit.edit.appends << " in, " << edit.edit.removes << " out";
            if (way != Way::Wait) {
                schedule.Made(edit.edit, way, document, 0ms, 0ms);
            }
        }
        EXPECT_EQ(schedule.Owed(), c.owed);
    }
}

TEST(MemoCompactionTest, AnOwedCompactionIsUrgentBeforeTheBufferWouldGrow) {
    using Way = CompactionSchedule::Way;
    QTextDocument document;
    CompactionSchedule schedule;
    schedule.Start(document);
    schedule.Made({118'000, 0}, Way::UndoOff, document, 0ms, 0ms);  // 13,064 short of growing
    schedule.Made({0, kQtCompactsAfter}, Way::UndoOff, document, 0ms, 0ms);
    schedule.Made({0, 5'000}, Way::UndoOn, document, 0ms, 0ms);
    ASSERT_TRUE(schedule.Owed());
    // Qt must be made to count one more character, and that padding has to fit as well.
    EXPECT_FALSE(schedule.Urgent(13'062));
    EXPECT_TRUE(schedule.Urgent(13'063));
    // Then the edit waits for room, as one that would make Qt compact does.
    EXPECT_EQ(schedule.WayFor({13'063, 0}, 0ms, document), Way::Wait);
    EXPECT_EQ(schedule.WayFor({13'062, 0}, 0ms, document), Way::UndoOff);
    EXPECT_NE(schedule.WayFor({13'063, 0}, 1000ms, document), Way::Wait);
    schedule.CompactNow(&document);
    EXPECT_FALSE(schedule.Owed());
    EXPECT_FALSE(schedule.Urgent(1'000'000));
    EXPECT_EQ(schedule.WayFor({0, kQtCompactsAfter}, 0ms, document), Way::UndoOff)
        << "counted afresh";
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

    CompactionSchedule().CompactNow(&document);

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
    EXPECT_TRUE(document.isUndoRedoEnabled()) << "the operator's typing can be undone";
}

}  // namespace

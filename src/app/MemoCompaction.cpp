#include "app/MemoCompaction.h"

#include <QString>
#include <QTextCursor>
#include <QTextDocument>

namespace controls {
namespace {

using Seconds = std::chrono::duration<double>;

// Characters that a forced compaction removes, whatever Qt counted before: past the mark even
// when the count here missed removals (the operator's own edits are not seen).
constexpr qsizetype kPadding = kQtCompactsAfter + 8 * 1024;

// How much faster or slower than its average pace a flood may remove for a while.
constexpr double kPaceVaries = 1.25;

}  // namespace

void CompactionSchedule::Removed(qsizetype characters, Clock::time_point now) {
    removed_ += characters;
    if (removed_ > kQtCompactsAfter) {
        // Qt compacted at the end of this edit.
        removed_ = 0;
        since_ = now;
    }
}

bool CompactionSchedule::Due(std::optional<std::chrono::milliseconds> timeToTick,
                             Clock::time_point now) const {
    const Seconds elapsed = now - since_;
    if (!timeToTick || *timeToTick <= kQuietBeforeTick ||
        *timeToTick > kQuietBeforeTick + kDecideBeforeQuiet || removed_ == 0 ||
        elapsed <= std::chrono::milliseconds(1)) {
        return false;
    }
    const double pace = static_cast<double>(removed_) / elapsed.count();  // characters a second
    const double quiet = Seconds(kQuietBeforeTick + kQuietAfterTick).count();
    const double quietStarts = Seconds(*timeToTick - kQuietBeforeTick).count();
    // A flood's pace varies from burst to burst: the mark may come somewhat sooner or later.
    const double left = static_cast<double>(kQtCompactsAfter - removed_);
    const double soonest = left / (pace * kPaceVaries);
    const double latest = left * kPaceVaries / pace;
    // When the quiet stretch alone removes enough to reach the mark, a compaction in it cannot
    // be avoided; an early one would only add to them.
    return pace * quiet < static_cast<double>(kQtCompactsAfter) && latest >= quietStarts &&
           soonest < quietStarts + quiet;
}

void CompactionSchedule::CompactNow(QTextDocument* document, Clock::time_point now) {
    // Characters put in after the last one and taken out again in the same edit: the text stays
    // as it was, and Qt's count passes the mark.
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    const int end = cursor.position();
    cursor.beginEditBlock();
    cursor.insertText(QString(kPadding, QLatin1Char(' ')));
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.endEditBlock();
    removed_ = 0;
    since_ = now;
}

}  // namespace controls

#include "app/MemoCompaction.h"

#include <QString>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <bit>
#include <cstdint>

#include "shell/TickRoom.h"

namespace controls {
namespace {

using Seconds = std::chrono::duration<double>;

// A compaction starts only where the room exceeds its expected time by this much.
constexpr double kMargin = 1.25;
// Qt compacts only while its buffer is at least this full.
constexpr double kFullEnough = 0.9;
// Bytes before the characters of a Qt string's block; its size is a power of two once grown.
constexpr qsizetype kStringHeader = 16;
// Less than this share of the expected time, and Qt did not compact after all: nothing to learn.
constexpr double kCompactedShare = 0.25;
// How much of the longest time per line, or of the longest stretch, is kept each time: a slow
// moment is forgotten over a few dozen.
constexpr double kForget = 0.95;
// Edits shorter than this in processor time tell nothing of the stretch.
constexpr auto kStretchFrom = std::chrono::microseconds(500);

}  // namespace

void CompactionSchedule::Start(const QTextDocument& document) {
    started_ = true;
    size_ = capacity_ = document.characterCount();
}

qsizetype CompactionSchedule::Grown(qsizetype size) const {
    qsizetype capacity = capacity_;
    while (size > capacity) {
        const auto bytes = static_cast<std::uint64_t>(2 * (capacity + 1) + kStringHeader);
        capacity = (static_cast<qsizetype>(std::bit_ceil(bytes)) - kStringHeader) / 2;
    }
    return capacity;
}

bool CompactionSchedule::Compacts(qsizetype counted, qsizetype size) const {
    return counted > kQtCompactsAfter &&
           static_cast<double>(size) >= kFullEnough * static_cast<double>(Grown(size));
}

CompactionSchedule::Way CompactionSchedule::WayFor(BufferEdit edit, Clock::duration room,
                                                   const QTextDocument& document) const {
    const bool roomForCompaction = Seconds(room) >= kMargin * Seconds(Expected(document));
    // The owed compaction would have to be made before this edit, whatever the room.
    if (Urgent(edit.appends) && !roomForCompaction) {
        return Way::Wait;
    }
    const qsizetype size = size_ + edit.appends;
    if (!Compacts(counted_ + edit.removes, size) || roomForCompaction) {
        return Way::UndoOff;
    }
    // Uncounted, its removals leave Qt short of its mark, unless the buffer alone was all that
    // kept Qt from compacting: then switching undo off again would compact all the same.
    return Compacts(counted_, size) ? Way::Wait : Way::UndoOn;
}

void CompactionSchedule::Made(BufferEdit edit, Way way, const QTextDocument& document,
                              Clock::duration took, Clock::duration wall) {
    Stretched(took, wall);
    size_ += edit.appends;
    capacity_ = Grown(size_);
    if (way == Way::UndoOn) {
        uncounted_ += edit.removes;
        return;
    }
    counted_ += edit.removes;
    if (Compacts(counted_, size_)) {
        Compacted(document, took);
    }
}

void CompactionSchedule::Appended(qsizetype characters) {
    size_ += characters;
    capacity_ = Grown(size_);
}

bool CompactionSchedule::Owed() const {
    return uncounted_ > 0 && counted_ + uncounted_ > kQtCompactsAfter;
}

bool CompactionSchedule::Urgent(qsizetype appends) const {
    // The padding that makes Qt count past its mark must fit as well.
    const qsizetype padding = std::max<qsizetype>(0, kQtCompactsAfter + 1 - counted_);
    return Owed() && size_ + appends + padding > capacity_;
}

CompactionSchedule::Clock::duration CompactionSchedule::Expected(
    const QTextDocument& document) const {
    return std::chrono::duration_cast<Clock::duration>(
        Seconds(secondsPerLine_ * stretch_ * document.blockCount()));
}

void CompactionSchedule::Stretched(Clock::duration took, Clock::duration wall) {
    // Short edits say little: a single wake-up of another thread would look like a stretch.
    if (took >= kStretchFrom) {
        stretch_ = std::max({1.0, Seconds(wall) / Seconds(took), stretch_ * kForget});
    }
}

void CompactionSchedule::CompactNow(QTextDocument* document) {
    const auto start = shell::ThreadTime();
    const auto startWall = Clock::now();
    document->setUndoRedoEnabled(false);
    const qsizetype padding = std::max<qsizetype>(0, kQtCompactsAfter + 1 - counted_);
    if (padding > 0) {
        // Characters put in after the last one and taken out again in the same edit: the text
        // stays as it was, nobody is told of a change, and Qt's count passes its mark.
        QTextCursor cursor(document);
        cursor.movePosition(QTextCursor::End);
        const int end = cursor.position();
        cursor.beginEditBlock();
        cursor.insertText(QString(padding, QLatin1Char(' ')));
        cursor.setPosition(end, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
        cursor.endEditBlock();
        size_ += padding;
        capacity_ = Grown(size_);
        counted_ += padding;
    }
    document->setUndoRedoEnabled(true);
    // Not full enough, Qt compacts at the first edit that fills the buffer enough; the removals
    // now count.
    uncounted_ = 0;
    const auto took = shell::ThreadTime() - start;
    Stretched(took, Clock::now() - startWall);
    if (Compacts(counted_, size_)) {
        Compacted(*document, took);
    }
}

void CompactionSchedule::Compacted(const QTextDocument& document, Clock::duration took) {
    size_ = capacity_ = document.characterCount();
    counted_ = 0;
    uncounted_ = 0;
    const Seconds seconds = took;
    if (seconds.count() >= kCompactedShare * secondsPerLine_ * document.blockCount()) {
        const double perLine = seconds.count() / std::max(1, document.blockCount());
        secondsPerLine_ = std::max(perLine, secondsPerLine_ * kForget);
    }
}

}  // namespace controls

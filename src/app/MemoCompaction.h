#pragma once
// When the memo's text buffer is compacted. Qt keeps every character ever inserted in one buffer
// and compacts it, copying the whole text and walking every line (7 to 25 ms for a full memo,
// depending on the host), at the end of an edit made with undo off, when such edits have removed
// more than kQtCompactsAfter characters (line breaks not counted) and the buffer is at least nine
// tenths full. The buffer grows to the next power of two; once compacted, it is exactly as long
// as the text. Left to Qt, a compaction lands wherever an edit meets those conditions, across a
// tick as likely as not. So the program follows Qt's count and buffer edit by edit, and before
// each of its own edits knows whether Qt would compact at its end: such an edit goes ahead only
// where the room before the next tick holds a compaction; otherwise it is made with undo on, which
// Qt does not count, and the compaction then owed is made after the next tick; or, when Qt would
// compact for its buffer's sake alone, the edit waits for that tick.
//
// A compaction is never put off while the buffer would grow: grown, it could not be compacted
// before it is nine tenths full again, 7 MB later for a full memo. If a later Qt changes these
// rules, the program still works and uses as much memory as Qt makes it; only the ticks lose
// this protection.

#include <QtGlobal>
#include <chrono>

class QTextDocument;

namespace controls {

// More than this many removed characters make Qt compact the buffer (96 KB of UTF-16).
inline constexpr qsizetype kQtCompactsAfter = 48 * 1024;

// What an edit does to Qt's buffer: the characters it appends (a line break takes two, its own
// and the block's separator) and those it removes that Qt counts (line breaks are not).
struct BufferEdit {
    qsizetype appends = 0;
    qsizetype removes = 0;
};

class CompactionSchedule {
  public:
    using Clock = std::chrono::steady_clock;

    // How to make an edit of the program's.
    enum class Way {
        UndoOff,  // counted by Qt: it compacts at the edit's end only where there is room
        UndoOn,   // not counted, so that Qt does not compact: a compaction is then owed
        Wait,     // Qt would compact at its end for its buffer's sake: after the next tick
    };

    // Takes up `document` as it is now, with no removals counted; needed once before the rest.
    void Start(const QTextDocument& document);
    bool Started() const { return started_; }

    // How to make `edit` now, `room` before the next tick, in `document`. Wait too where the
    // edit would make an owed compaction urgent without room for it.
    Way WayFor(BufferEdit edit, Clock::duration room, const QTextDocument& document) const;

    // After `edit` was made the way given, taking `took` of the thread's processor time and
    // `wall` on the clock; `document` is as it left it.
    void Made(BufferEdit edit, Way way, const QTextDocument& document, Clock::duration took,
              Clock::duration wall);

    // Someone else's edit (the operator's, with undo on) appended `characters`.
    void Appended(qsizetype characters);

    // Whether a compaction is owed, or the buffer must be compacted before `appends` more
    // characters make it grow: then there is no waiting for room.
    bool Owed() const;
    bool Urgent(qsizetype appends) const;

    // How long compacting `document` is expected to take on the clock: the processor time the
    // compactions seen so far took, stretched by how much longer than its processor time the
    // program's longer edits lately took on the clock (the processor shared with other work, or
    // the GUI thread held to a share of one).
    Clock::duration Expected(const QTextDocument& document) const;

    // Makes Qt compact `document` now, leaving its text, marks and cursors as they were and undo
    // on with an empty history.
    void CompactNow(QTextDocument* document);

  private:
    qsizetype Grown(qsizetype size) const;
    bool Compacts(qsizetype counted, qsizetype size) const;
    void Compacted(const QTextDocument& document, Clock::duration took);
    void Stretched(Clock::duration took, Clock::duration wall);

    bool started_ = false;
    qsizetype counted_ = 0;    // removed by edits with undo off since Qt last compacted
    qsizetype uncounted_ = 0;  // removed by the program's edits with undo on since then
    qsizetype size_ = 0;       // characters in Qt's buffer
    qsizetype capacity_ = 0;   // and the room it has
    // The longest a compaction took per line of the document, slowly forgotten; a first guess
    // for a slow host until one is seen.
    double secondsPerLine_ = 150e-9;
    double stretch_ = 1;  // clock over processor time, the longest lately
};

}  // namespace controls

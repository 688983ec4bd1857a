// The operator's log in Memo1: lines inserted at the top, newest first. The lines a burst of
// datagrams logs are put in place afterwards in slices of about a millisecond, each one edit,
// back to back while the next tick leaves room and on after the tick; once they are all in, the
// caret and the view go where the last line leaves them. Whatever waits goes in at once before the
// operator's input reaches the memo and before a nested dispatch, so nobody acts on a log that is
// behind. At the memo's limit the program's oldest lines make room for the newest.

#include <QEvent>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>
#include <cmath>
#include <deque>
#include <unordered_map>
#include <vector>

#include "app/Controls.h"
#include "app/MemoCompaction.h"
#include "app/MemoEdits.h"
#include "shell/Gathering.h"
#include "shell/QtText.h"
#include "shell/TickRoom.h"

namespace controls {
namespace {

using shell::TickClock;
using Seconds = std::chrono::duration<double>;

// Until a slice has been measured, a line is taken to cost this much: a slow host's figure.
constexpr double kFirstSecondsPerLine = 20e-6;
// How much of the estimate the latest slice replaces: a slow moment is soon forgotten.
constexpr double kLearn = 0.3;
// Below the clock's resolution: no line is free.
constexpr double kLeastSecondsPerLine = 1e-8;
// A compaction starts only where the room before the tick exceeds its expected time by this much.
constexpr double kCompactionMargin = 1.25;
// Lines wait at most this many ticks for room enough to compact; then they go in all the same.
constexpr int kMostTicksWaited = 3;

struct MemoLog {
    std::deque<QString> pending;  // lines waiting to be put in place, oldest first
    bool queued = false;          // a settle of this memo is queued
    bool viewStale = false;       // the caret and view wait for the newest line's place
    QTextCursor caret;            // where the newest line in place leaves the caret
    LaidOutLines laidOut;
    CompactionSchedule compaction;
    bool compactionWaits = false;   // a compaction waits for the next tick
    bool editing = false;           // one of the program's edits is being made
    int ticksWaited = 0;            // ticks the settle waited for in a row
    bool widestLineParked = false;  // see ParkWidestLine
    double secondsPerLine = kFirstSecondsPerLine;
};

MemoLog& LogOf(QPlainTextEdit* memo);
shell::SliceLeft SettleSlice(QPlainTextEdit* memo, MemoLog& log,
                             const shell::SliceTime& time) noexcept;

// Everything waiting, in place now.
void SettleMemoNow(QPlainTextEdit* memo, MemoLog& log) noexcept {
    const auto now = TickClock::now();
    const shell::SliceTime time{TickClock::time_point::max(), now + shell::RoomBeforeTick(), false};
    while (SettleSlice(memo, log, time) != shell::SliceLeft::Nothing) {
    }
}

bool IsOperatorInput(const QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::InputMethod:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            return true;
        case QEvent::MouseMove:
            // Only a drag selects; a mouse merely passing over changes nothing.
            return static_cast<const QMouseEvent*>(event)->buttons() != Qt::NoButton;
        default:
            return false;
    }
}

// Sees what reaches the memo, its view and its scroll bars: the operator's input finds the log
// complete, as one-at-a-time insertion would have left it; a paint lays out the lines on view.
class MemoWatch final : public QObject {
  public:
    explicit MemoWatch(QPlainTextEdit* memo) : QObject(memo), memo_(memo) {
        for (QObject* watched :
             {static_cast<QObject*>(memo), static_cast<QObject*>(memo->viewport()),
              static_cast<QObject*>(memo->verticalScrollBar()),
              static_cast<QObject*>(memo->horizontalScrollBar())}) {
            watched->installEventFilter(this);
        }
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            if (watched == memo_->viewport()) {
                LogOf(memo_).laidOut.Mark(2 * BlocksInView(memo_));
            }
        } else if (IsOperatorInput(event)) {
            MemoLog& log = LogOf(memo_);
            if (!log.pending.empty() || log.viewStale) {
                SettleMemoNow(memo_, log);
            }
        }
        return false;
    }

  private:
    QPlainTextEdit* memo_;
};

// GUI thread only; an entry goes with its memo.
MemoLog& LogOf(QPlainTextEdit* memo) {
    static std::unordered_map<QPlainTextEdit*, MemoLog> logs;
    auto found = logs.find(memo);
    if (found == logs.end()) {
        QObject::connect(memo, &QObject::destroyed, [memo] { logs.erase(memo); });
        QTextDocument* document = memo->document();
        // Down to one line, Qt forgets where it was told the widest line is.
        QObject::connect(document, &QTextDocument::blockCountChanged, memo, [memo](int blocks) {
            if (blocks == 1) {
                LogOf(memo).widestLineParked = false;
            }
        });
        // What the operator types goes into Qt's buffer as well.
        QObject::connect(document, &QTextDocument::contentsChange, memo,
                         [memo](int, int, int added) {
                             MemoLog& log = LogOf(memo);
                             if (!log.editing) {
                                 log.compaction.Appended(added);
                             }
                         });
        found = logs.emplace(memo, MemoLog{}).first;
        found->second.compaction.Start(*document);
        new MemoWatch(memo);
    }
    return found->second;
}

// Makes an edit of the program's, which does `buffer` to Qt's buffer, the way the compaction
// schedule says: undo off, so that Qt counts what it removes, unless that would make Qt compact
// at its end with no room for it before the next tick; then with undo on, or not at all before the
// tick (false) if `mayWait`. Undo is off around the program's edits.
template <class Edit>
bool ProgramEdit(MemoLog& log, QTextDocument* document, BufferEdit buffer,
                 const shell::SliceTime& time, bool mayWait, Edit&& edit) {
    using Way = CompactionSchedule::Way;
    // An owed compaction that cannot be put off past this edit waits for the room after the tick
    // as any other does.
    if (mayWait &&
        log.compaction.WayFor(buffer, time.quietUntil - TickClock::now(), *document) == Way::Wait) {
        return false;
    }
    if (log.compaction.Urgent(buffer.appends)) {
        // Rather now than a buffer that cannot be compacted until it has doubled.
        log.compaction.CompactNow(document);
        document->setUndoRedoEnabled(false);
    }
    const auto start = shell::ThreadTime();
    const auto startWall = TickClock::now();
    Way way = log.compaction.WayFor(buffer, time.quietUntil - startWall, *document);
    if (way == Way::Wait) {
        way = Way::UndoOff;  // could not wait
    }
    if (way == Way::UndoOn) {
        document->setUndoRedoEnabled(true);
    }
    log.editing = true;
    edit();
    log.editing = false;
    if (way == Way::UndoOn) {
        document->setUndoRedoEnabled(false);  // its records go
    }
    log.compaction.Made(buffer, way, *document, shell::ThreadTime() - start,
                        TickClock::now() - startWall);
    return true;
}

// What inserting the placed lines appends: each line and its break, and a block separator.
qsizetype InsertionAppends(std::span<const QString> lines, const Placement& placement) {
    qsizetype appends = 0;
    for (const std::size_t index : placement.kept) {
        appends += lines[index].size() + 2;
    }
    return appends;
}

// One batch of lines, oldest first, and the removals that make room for them. False when it has
// to wait for the next tick, with nothing done.
bool PutLines(QPlainTextEdit* memo, MemoLog& log, std::span<const QString> lines,
              const shell::SliceTime& time) {
    QTextDocument* document = memo->document();
    const Placement placement = PlaceLines(*document, lines);
    const BufferEdit removal{0, placement.removedText};
    const BufferEdit insertion{InsertionAppends(lines, placement), 0};
    // Both edits, or neither: a removal without its lines is no state one-at-a-time insertion
    // passes through.
    if (time.mayWait && log.compaction.WayFor({insertion.appends, removal.removes},
                                              time.quietUntil - TickClock::now(),
                                              *document) == CompactionSchedule::Way::Wait) {
        return false;
    }
    if (!placement.removedBlocks.empty()) {
        ProgramEdit(log, document, removal, time, false,
                    [&] { RemovePlaced(document, placement); });
    }
    Inserted inserted;
    ProgramEdit(log, document, insertion, time, false,
                [&] { inserted = InsertPlaced(document, lines, placement); });
    log.laidOut.MovedDown(inserted.kept);
    log.laidOut.Trim(document->blockCount());
    if (inserted.kept == 0) {
        return true;
    }
    // A view not yet shown has no width of its own to set; it sets it when shown. Parking puts
    // in a filler and a line break for every line, and takes them out again.
    if (!log.widestLineParked && memo->isVisible()) {
        const qsizetype filler = ParkingRemoves(*document);
        ProgramEdit(log, document, {filler + 2 * (document->blockCount() + 1), filler}, time, false,
                    [memo] { ParkWidestLine(memo); });
        log.widestLineParked = true;
    }
    // Where the last of one-at-a-time insertions leaves the caret; a cursor, so that later
    // removals move it as they would move the caret.
    log.caret = inserted.caret;
    log.viewStale = true;
    return true;
}

void PlaceView(QPlainTextEdit* memo, MemoLog& log) {
    memo->setTextCursor(log.caret);
    log.caret = QTextCursor();
    log.viewStale = false;
    // Scrolling only to the caret could leave the newest line just above the view.
    memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->minimum());
    memo->ensureCursorVisible();
    // Lines on view keep their shaped text, or every paint would shape them again; a line that
    // leaves the view sheds it with its layout when it is renewed.
    const int inView = BlocksInView(memo);
    QTextBlock block = memo->document()->firstBlock();
    for (int i = 0; i < inView && block.isValid(); ++i, block = block.next()) {
        block.layout()->setCacheEnabled(true);
    }
    // The view lays out a few lines below the last one it shows, as many as it shows at most.
    log.laidOut.Mark(2 * inView);
}

// Compacts right after the next tick, where the room is widest; even a compaction longer than a
// tick's interval must happen some time, or the buffer would grow for ever.
void CompactAfterTick(QPlainTextEdit* memo, MemoLog& log) {
    if (log.compactionWaits) {
        return;
    }
    log.compactionWaits = true;
    shell::AfterNextTick([memo, alive = QPointer<QPlainTextEdit>(memo)] {
        if (!alive) {
            return;
        }
        MemoLog& waiting = LogOf(memo);
        waiting.compactionWaits = false;
        if (waiting.compaction.Owed()) {
            waiting.compaction.CompactNow(memo->document());
        }
    });
}

// After the slice's lines: lines that left the view shed their layouts (unless that has to wait
// for the tick), and a compaction owed is made where there is room.
void Tidy(QPlainTextEdit* memo, MemoLog& log, const shell::SliceTime& time) {
    QTextDocument* document = memo->document();
    const LaidOutLines::Renewal renewal = log.laidOut.LeftView(*document, BlocksInView(memo));
    // Each line renewed is put back with its break and a block separator.
    if (!renewal.runs.empty() &&
        ProgramEdit(log, document, {renewal.characters + 2 * renewal.lines, renewal.characters},
                    time, time.mayWait, [&] { Renew(document, renewal); })) {
        log.laidOut.Renewed(renewal);
    }
    if (!log.compaction.Owed()) {
        return;
    }
    const Seconds room = time.quietUntil - TickClock::now();
    if (room >= kCompactionMargin * Seconds(log.compaction.Expected(*document))) {
        log.compaction.CompactNow(document);
        document->setUndoRedoEnabled(false);
    } else {
        CompactAfterTick(memo, log);
    }
}

// Puts as many of the waiting lines in place as the slice's time allows by what lines have cost so
// far, at least one unless Qt would compact without room, then the caret and view once none wait.
shell::SliceLeft SettleSlice(QPlainTextEdit* memo, MemoLog& log,
                             const shell::SliceTime& slice) noexcept {
    const auto start = TickClock::now();
    QTextDocument* document = memo->document();
    // A compaction that does not fit even right after a tick must happen all the same.
    shell::SliceTime time = slice;
    time.mayWait = slice.mayWait && log.ticksWaited < kMostTicksWaited;
    std::ptrdiff_t taken = 0;  // lines of the batch being put in place
    try {
        // The program's lines are never taken back: its edits keep out of the undo history, and
        // the operator's own entries would point at shifted places afterwards, so they go too.
        // Switching undo off is also where Qt may compact.
        if (!ProgramEdit(log, document, {}, time, time.mayWait,
                         [document] { document->setUndoRedoEnabled(false); })) {
            ++log.ticksWaited;
            return shell::SliceLeft::AfterTick;
        }
        if (!log.pending.empty()) {
            const double budget = Seconds(time.until - start).count();
            const double fits = std::floor(budget / log.secondsPerLine);
            const auto count = static_cast<std::ptrdiff_t>(
                std::clamp(fits, 1.0, static_cast<double>(log.pending.size())));
            const std::vector<QString> batch(log.pending.begin(), log.pending.begin() + count);
            taken = count;
            if (!PutLines(memo, log, batch, time)) {
                document->setUndoRedoEnabled(true);
                ++log.ticksWaited;
                return shell::SliceLeft::AfterTick;
            }
            log.ticksWaited = 0;
            log.pending.erase(log.pending.begin(), log.pending.begin() + count);
            taken = 0;
            const double perLine =
                Seconds(TickClock::now() - start).count() / static_cast<double>(count);
            log.secondsPerLine = std::max(
                kLeastSecondsPerLine, log.secondsPerLine + kLearn * (perLine - log.secondsPerLine));
        }
        if (log.pending.empty() && log.viewStale && TickClock::now() < time.until) {
            PlaceView(memo, log);
        }
        Tidy(memo, log, time);
    } catch (...) {
        // What failed is given up, so that the settle goes on: lines that failed to go in are
        // lost, not the program nor the lines after them.
        log.pending.erase(log.pending.begin(), log.pending.begin() + taken);
        log.viewStale = false;
        log.editing = false;
    }
    document->setUndoRedoEnabled(true);
    return !log.pending.empty() || log.viewStale ? shell::SliceLeft::More
                                                 : shell::SliceLeft::Nothing;
}

}  // namespace

void InsertLineAtTop(QPlainTextEdit* memo, std::string_view line) {
    MemoLog& log = LogOf(memo);
    log.pending.push_back(shell::ToQString(line));
    if (!shell::Gathering()) {
        // Outside a burst the line goes in at once, behind whatever still waits.
        SettleMemoNow(memo, log);
        return;
    }
    if (!log.queued) {
        log.queued = true;
        // A memo destroyed before its turn has taken its log along.
        shell::SettleInSlices(
            [memo, alive = QPointer<QPlainTextEdit>(memo)](const shell::SliceTime& time) {
                if (!alive) {
                    return shell::SliceLeft::Nothing;
                }
                MemoLog& queuedLog = LogOf(memo);
                const shell::SliceLeft left = SettleSlice(memo, queuedLog, time);
                queuedLog.queued = left != shell::SliceLeft::Nothing;
                return left;
            });
    }
}

}  // namespace controls

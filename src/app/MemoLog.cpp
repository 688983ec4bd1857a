// The operator's log in Memo1: lines inserted at the top, newest first. The lines of one burst of
// datagrams go in together, which costs one layout and one scroll instead of one per line; at the
// memo's limit the program's oldest lines make room for the newest.

#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "app/Controls.h"
#include "app/MemoCompaction.h"
#include "shell/Gathering.h"
#include "shell/QtText.h"
#include "shell/Timer.h"

namespace controls {
namespace {

// A line is the program's while it reads as the program wrote it: its block carries a
// fingerprint of the text inserted. The operator may edit anywhere; an edited line no longer
// matches its fingerprint and is kept like anything else the operator typed. Blocks nobody
// marked (the initial "Memo1" line, typed lines) hold -1, which is never a fingerprint.
int Fingerprint(const QString& text) {
    std::uint32_t hash = 2166136261u;
    for (const QChar c : text) {
        hash = (hash ^ c.unicode()) * 16777619u;
    }
    return static_cast<int>(hash & 0x7FFFFFFFu);
}

bool IsProgramLine(const QTextBlock& block) {
    const int state = block.userState();
    return state >= 0 && state == Fingerprint(block.text());
}

struct MemoLog {
    std::vector<QString> pending;  // lines waiting to be put in place, oldest first
    int pushedOut = 0;             // lines put in since layouts were last shed
    CompactionSchedule compaction;
    bool widestLineParked = false;  // see ParkWidestLine
};

// GUI thread only; an entry goes with its memo.
MemoLog& LogOf(QPlainTextEdit* memo) {
    static std::unordered_map<QPlainTextEdit*, MemoLog> logs;
    auto found = logs.find(memo);
    if (found == logs.end()) {
        QObject::connect(memo, &QObject::destroyed, [memo] { logs.erase(memo); });
        // Down to one line, Qt forgets where it was told the widest line is.
        QObject::connect(memo->document(), &QTextDocument::blockCountChanged, memo,
                         [memo](int blocks) {
                             if (blocks == 1) {
                                 LogOf(memo).widestLineParked = false;
                             }
                         });
        found = logs.emplace(memo, MemoLog{}).first;
    }
    return found->second;
}

// What putting a batch in place does, decided before the document is touched: the same as
// inserting the lines one at a time, each making room for itself by removing the program's
// oldest line (the bottom-most) until it fits, or refused when nothing of the program's is left.
struct Placement {
    std::vector<int> removedBlocks;  // block numbers, bottom-most first
    qsizetype removedText = 0;       // their characters, line breaks not counted
    std::vector<std::size_t> kept;   // indices of the batch's lines that stay, oldest first
};

Placement Place(const QTextDocument& document, const std::vector<QString>& lines) {
    Placement placement;
    std::int64_t size = document.characterCount() - 1;  // the last separator holds no text
    QTextBlock candidate = document.lastBlock();
    std::size_t firstKept = 0;  // kept lines before this one were removed again for newer ones
    auto removeOldestProgramLine = [&] {
        for (; candidate.isValid(); candidate = candidate.previous()) {
            if (IsProgramLine(candidate)) {
                const bool onlyBlockLeft = candidate.blockNumber() == 0 &&
                                           placement.removedBlocks.size() + 1 ==
                                               static_cast<std::size_t>(document.blockCount());
                // A line takes its separator along, except a lone block, which has none.
                size -= candidate.length() - (onlyBlockLeft ? 1 : 0);
                placement.removedText += candidate.length() - 1;
                placement.removedBlocks.push_back(candidate.blockNumber());
                candidate = candidate.previous();
                return true;
            }
        }
        if (firstKept < placement.kept.size()) {
            size -= lines[placement.kept[firstKept]].size() + 1;
            ++firstKept;
            return true;
        }
        return false;
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const qsizetype needed = lines[i].size() + 1;
        while (size + needed > kMemoMaxCharacters && removeOldestProgramLine()) {
        }
        if (size + needed <= kMemoMaxCharacters) {
            placement.kept.push_back(i);
            size += needed;
        }
    }
    placement.kept.erase(placement.kept.begin(),
                         placement.kept.begin() + static_cast<std::ptrdiff_t>(firstKept));
    return placement;
}

// Removes the given blocks, bottom-most first, as runs of neighbours. A block goes with the
// separator after it, which keeps every other block's mark where it was; the last block has
// none and takes the one before it, whose block keeps its own mark.
void RemoveBlocks(QTextDocument* document, const std::vector<int>& numbers) {
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] - 1) {
            ++j;
        }
        const QTextBlock bottom = document->findBlockByNumber(numbers[i]);
        const QTextBlock top = document->findBlockByNumber(numbers[j]);
        const QTextBlock above = top.previous();
        const int aboveState = above.isValid() ? above.userState() : -1;
        if (bottom.next().isValid()) {
            cursor.setPosition(top.position());
            cursor.setPosition(bottom.next().position(), QTextCursor::KeepAnchor);
        } else {
            cursor.setPosition(above.isValid() ? top.position() - 1 : 0);
            cursor.setPosition(bottom.position() + bottom.length() - 1, QTextCursor::KeepAnchor);
        }
        cursor.removeSelectedText();
        if (above.isValid()) {
            document->findBlockByNumber(numbers[j] - 1).setUserState(aboveState);
        }
        i = j + 1;
    }
    cursor.endEditBlock();
}

// How many blocks can be on view with the memo scrolled to its top, and one more: no block shows
// a line in less than a line's height.
int BlocksInView(const QPlainTextEdit* memo) {
    const int lineHeight = std::max(1, memo->fontMetrics().lineSpacing());
    return memo->viewport()->height() / lineHeight + 2;
}

// Puts the text of `count` lines from block `first` on back in new blocks, marks kept, as part
// of the cursor's edit. Gives the characters replaced, line breaks not counted.
qsizetype RenewRun(QTextCursor& cursor, int first, int count) {
    QTextDocument* document = cursor.document();
    count = std::min(count, document->blockCount() - 1 - first);  // the last line has no break
    if (count <= 0) {
        return 0;
    }
    QTextBlock block = document->findBlockByNumber(first);
    const int start = block.position();
    QString text;
    std::vector<int> states;
    states.reserve(static_cast<std::size_t>(count) + 1);
    for (int i = 0; i < count; ++i, block = block.next()) {
        text += block.text();
        text += QLatin1Char('\n');
        states.push_back(block.userState());
    }
    states.push_back(block.userState());  // its block record moves up to the first renewed line
    cursor.setPosition(start);
    cursor.setPosition(block.position(), QTextCursor::KeepAnchor);
    cursor.insertText(text);
    block = document->findBlockByNumber(first);
    for (const int state : states) {
        block.setUserState(state);
        block = block.next();
    }
    return text.size() - count;
}

// Qt keeps a block's layout (about 340 bytes) for as long as the block lives, once the block has
// been on view. Lines pushed out of view are put back as copies in new blocks, which have none,
// so only the lines near the top carry a layout. Not after every insertion: a copy costs about
// as much as the insertion, and the view lays out again the first line of every edit, which
// is renewed as well, so renewing `kRenewEvery` lines at once costs a fraction of that.
constexpr int kRenewEvery = 32;

// `pushed` lines went in since the last renewal, the newest `added` of them just now and not
// yet on view. Gives the characters replaced, line breaks not counted.
qsizetype RenewPushedOut(QTextDocument* document, int inView, int added, int pushed) {
    // The view lays out a few lines below the last one it shows, as many as it shows at most.
    const int laidOut = 2 * inView + pushed;
    const int firstPushedOut = std::max(added, inView);
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    qsizetype replaced = 0;
    if (firstPushedOut > inView) {
        replaced += RenewRun(cursor, inView - 1, 1);
        replaced += RenewRun(cursor, firstPushedOut, laidOut - firstPushedOut);
    } else {
        replaced += RenewRun(cursor, inView - 1, laidOut - inView + 1);
    }
    cursor.endEditBlock();
    return replaced;
}

// Qt's plain-text layout remembers the widest line by its number, and whenever the line under that
// number is laid out narrower it measures every line again, giving each a layout of its own (about
// 300 bytes, kept until the line goes): tens of megabytes at once for a full memo. Edits that
// remove lines at the bottom move the number as if the lines had been above it, so it stays near
// the top, where new lines are laid out all the time. Moved past the last line, every edit keeps
// it there; and once the view has set the widest width to its own, no wrapped line is wider, so
// Qt never remembers another. Needs two lines or more (with one, Qt starts over) and a view on
// screen.
void ParkWidestLine(QPlainTextEdit* memo) {
    QTextDocument* document = memo->document();
    {
        // Text and caret end as they were, so nobody else is told; only the layout counts.
        const QSignalBlocker quietDocument(document);
        const QSignalBlocker quietLayout(document->documentLayout());
        const int firstState = document->firstBlock().userState();
        // Lines go in above everything and out again, the number moving with them, all but one
        // out in an edit that Qt reckons ends in the last line, so there it stays put. Enough
        // lines that the number ends past the last; the filler makes that removal reach down
        // to the last line at the cost of characters rather than lines.
        const int blocks = document->blockCount();
        const int breaks = blocks + 1;
        const int filler = std::max(0, document->lastBlock().position() + 3 - breaks);
        // Each its own edit, and the cursor placed inside it: a cursor placed outside an edit
        // lays out its line, which could make Qt remember that one.
        QTextCursor cursor(document);
        auto edit = [&cursor](int from, int to, const QString& text) {
            cursor.beginEditBlock();
            cursor.setPosition(from);
            cursor.setPosition(to, QTextCursor::KeepAnchor);
            cursor.insertText(text);
            cursor.endEditBlock();
        };
        edit(0, 0, QString(filler, QLatin1Char('x')) + QString(breaks, QLatin1Char('\n')));
        edit(0, filler + breaks - 1, {});
        edit(0, 1, {});
        document->firstBlock().setUserState(firstState);
    }
    // Sets the widest width to the view's; the document is the memo's own already.
    memo->setDocument(document);
}

void PutInPlace(QPlainTextEdit* memo, const std::vector<QString>& lines, MemoLog& log) {
    QTextDocument* document = memo->document();
    const Placement placement = Place(*document, lines);
    if (placement.removedBlocks.empty() && placement.kept.empty()) {
        return;
    }
    // The program's lines are never taken back: keep them out of the undo history. Undo entries
    // of the operator's own edits would point at shifted positions afterwards, so they go too.
    document->setUndoRedoEnabled(false);
    // Removal and insertion are two edits, so that each tells the view (and a screen reader) only
    // about the few lines it changed, at the bottom and at the top.
    if (!placement.removedBlocks.empty()) {
        RemoveBlocks(document, placement.removedBlocks);
        log.compaction.Removed(placement.removedText);
    }
    if (placement.kept.empty()) {
        document->setUndoRedoEnabled(true);
        return;
    }
    QString text;
    qsizetype length = 0;
    for (std::size_t index : placement.kept) {
        length += lines[index].size() + 1;
    }
    text.reserve(length);
    for (auto index = placement.kept.rbegin(); index != placement.kept.rend(); ++index) {
        text += lines[*index];
        text += QLatin1Char('\n');
    }
    // The block that was first keeps its place in the document's records but not its line: the
    // new top line takes it over, and the former first line gets a fresh block.
    const int formerFirstState = document->firstBlock().userState();
    QTextCursor cursor(document);  // before the first character
    cursor.beginEditBlock();
    cursor.insertText(text);
    QTextBlock block = document->firstBlock();
    for (auto index = placement.kept.rbegin(); index != placement.kept.rend(); ++index) {
        block.setUserState(Fingerprint(lines[*index]));
        block = block.next();
    }
    block.setUserState(formerFirstState);
    cursor.endEditBlock();
    // A view not yet shown has no width of its own to set; it sets it when shown.
    if (!log.widestLineParked && memo->isVisible()) {
        ParkWidestLine(memo);
        log.widestLineParked = true;
    }

    // The caret goes where the last of one-at-a-time insertions would leave it: after the newest
    // line, at the start of the one below.
    cursor.setPosition(static_cast<int>(lines[placement.kept.back()].size()) + 1);
    memo->setTextCursor(cursor);
    // Scrolling only to the caret could leave the newest line just above the view.
    memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->minimum());
    memo->ensureCursorVisible();

    // The lines that were on view, and the one that held the caret, were laid out; those that
    // the new lines pushed out of view shed their layouts. A separate edit, after the caret has
    // moved: the view measures the caret's old place when it learns of an edit.
    const int added = static_cast<int>(placement.kept.size());
    log.pushedOut += added;
    const int inView = BlocksInView(memo);
    if (log.pushedOut >= kRenewEvery) {
        log.compaction.Removed(RenewPushedOut(document, inView, added, log.pushedOut));
        log.pushedOut = 0;
    }
    // Lines on view keep their shaped text, or every paint would shape them again; a line that
    // leaves the view sheds it with its layout when it is renewed.
    block = document->firstBlock();
    for (int i = 0; i < inView && block.isValid(); ++i, block = block.next()) {
        block.layout()->setCacheEnabled(true);
    }
    // Rather now than in a settle that the next tick would wait for.
    if (log.compaction.Due(shell::TimeToNextTick())) {
        log.compaction.CompactNow(document);
    }
    document->setUndoRedoEnabled(true);
}

void PutPendingInPlace(QPlainTextEdit* memo) {
    MemoLog& log = LogOf(memo);
    const std::vector<QString> lines = std::move(log.pending);
    log.pending.clear();
    PutInPlace(memo, lines, log);
}

}  // namespace

void InsertLineAtTop(QPlainTextEdit* memo, std::string_view line) {
    MemoLog& log = LogOf(memo);
    // Outside a burst nothing is waiting: every settle point empties the list.
    if (!shell::Gathering()) {
        PutInPlace(memo, {shell::ToQString(line)}, log);
        return;
    }
    if (log.pending.empty()) {
        // A memo destroyed before the settle has taken its log along.
        shell::SettleLater([memo, alive = QPointer<QPlainTextEdit>(memo)] {
            if (alive) {
                PutPendingInPlace(memo);
            }
        });
    }
    log.pending.push_back(shell::ToQString(line));
}

}  // namespace controls

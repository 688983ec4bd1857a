#include "app/MemoEdits.h"

#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <cstdint>

#include "app/Controls.h"

namespace controls {
namespace {

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

// Puts the text of `count` lines from block `first` on back in new blocks, marks kept, as part
// of the cursor's edit. Gives the characters replaced, line breaks not counted.
qsizetype RenewRun(QTextCursor& cursor, int first, int count) {
    QTextDocument* document = cursor.document();
    count = std::min(count, document->blockCount() - 1 - first);  // the last line has no break
    if (first < 0 || count <= 0) {
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

// Renewing costs about as much as inserting, and its edit makes the view lay out its first line
// again: lines are renewed a few dozen at a time.
constexpr int kRenewEvery = 32;

}  // namespace

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

Placement PlaceLines(const QTextDocument& document, std::span<const QString> lines) {
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

void RemovePlaced(QTextDocument* document, const Placement& placement) {
    if (!placement.removedBlocks.empty()) {
        RemoveBlocks(document, placement.removedBlocks);
    }
}

Inserted InsertPlaced(QTextDocument* document, std::span<const QString> lines,
                      const Placement& placement) {
    Inserted inserted;
    if (placement.kept.empty()) {
        return inserted;
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
    // Placed inside the edit, where Qt does not lay the line out to find the caret's x.
    cursor.setPosition(static_cast<int>(lines[placement.kept.back()].size()) + 1);
    cursor.endEditBlock();
    inserted.kept = static_cast<int>(placement.kept.size());
    inserted.caret = cursor;
    return inserted;
}

int BlocksInView(const QPlainTextEdit* memo) {
    const int lineHeight = std::max(1, memo->fontMetrics().lineSpacing());
    return memo->viewport()->height() / lineHeight + 2;
}

void LaidOutLines::Mark(int count) {
    if (!ranges_.empty() && ranges_.front().from <= count) {
        ranges_.front() = {0, std::max(ranges_.front().to, count)};
    } else if (count > 0) {
        ranges_.insert(ranges_.begin(), {0, count});
    }
}

void LaidOutLines::MovedDown(int count) {
    for (Range& range : ranges_) {
        range.from += count;
        range.to += count;
    }
}

void LaidOutLines::Trim(int blocks) {
    for (Range& range : ranges_) {
        range.to = std::min(range.to, blocks);
    }
    std::erase_if(ranges_, [](const Range& range) { return range.to <= range.from; });
}

LaidOutLines::Renewal LaidOutLines::LeftView(const QTextDocument& document, int inView) const {
    Renewal renewal;
    renewal.left = ranges_;
    // Lines that have left the view: a batch worth renewing, or a range wholly gone from view.
    for (Range& range : renewal.left) {
        const int leftFrom = std::max(range.from, inView);
        if (range.to - leftFrom >= kRenewEvery || (range.from >= inView && range.to > range.from)) {
            renewal.runs.emplace_back(leftFrom, range.to - leftFrom);
            range.to = leftFrom;
        }
    }
    std::erase_if(renewal.left, [](const Range& range) { return range.to <= range.from; });
    if (renewal.runs.empty()) {
        return renewal;
    }
    // The edit begins with the last line on view, which the view lays out again anyway.
    renewal.runs.insert(renewal.runs.begin(), {inView - 1, 1});
    const int lastWithBreak = document.blockCount() - 2;  // the last line has no break
    for (const auto& [first, count] : renewal.runs) {
        QTextBlock block = document.findBlockByNumber(first);
        for (int i = 0; i < count && block.isValid() && block.blockNumber() <= lastWithBreak;
             ++i, block = block.next()) {
            renewal.characters += block.length() - 1;
            ++renewal.lines;
        }
    }
    return renewal;
}

void Renew(QTextDocument* document, const LaidOutLines::Renewal& renewal) {
    if (renewal.runs.empty()) {
        return;
    }
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    for (const auto& [first, count] : renewal.runs) {
        RenewRun(cursor, first, count);
    }
    cursor.endEditBlock();
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
        const int breaks = document->blockCount() + 1;
        const auto filler = static_cast<int>(ParkingRemoves(*document));
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

qsizetype ParkingRemoves(const QTextDocument& document) {
    return std::max(0, document.lastBlock().position() + 3 - (document.blockCount() + 1));
}

}  // namespace controls

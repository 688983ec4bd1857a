#pragma once
// The edits that put the program's lines into Memo1's document: newest on top, the program's
// oldest lines making room at the limit, and lines that have left the view copied into fresh
// blocks so that Qt drops their layouts.

#include <QString>
#include <QTextCursor>
#include <QtGlobal>
#include <span>
#include <utility>
#include <vector>

class QPlainTextEdit;
class QTextBlock;
class QTextDocument;

namespace controls {

// A line is the program's while it reads as the program wrote it: its block carries a fingerprint
// of the text inserted. The operator may edit anywhere; an edited line no longer matches and is
// kept like anything else the operator typed. Blocks nobody marked (the initial "Memo1" line,
// typed lines) hold -1, which is never a fingerprint.
int Fingerprint(const QString& text);
bool IsProgramLine(const QTextBlock& block);

// What putting a batch of lines in place does, decided before the document is touched: the same
// as inserting the lines one at a time, each making room for itself by removing the program's
// oldest line (the bottom-most) until it fits, or refused when nothing of the program's is left.
struct Placement {
    std::vector<int> removedBlocks;  // block numbers, bottom-most first
    qsizetype removedText = 0;       // their characters, line breaks not counted
    std::vector<std::size_t> kept;   // indices of the batch's lines that stay, oldest first
};
Placement PlaceLines(const QTextDocument& document, std::span<const QString> lines);

// Removes the placement's blocks, as one edit of its own: each edit tells the view and a screen
// reader only of the lines it changed, at the bottom and at the top.
void RemovePlaced(QTextDocument* document, const Placement& placement);

// Inserts the placement's kept lines at the top as one edit, after RemovePlaced.
struct Inserted {
    int kept = 0;       // lines now on top, newest first
    QTextCursor caret;  // after the newest kept line, at the start of the one below
};
Inserted InsertPlaced(QTextDocument* document, std::span<const QString> lines,
                      const Placement& placement);

// How many blocks can be on view with the memo scrolled to its top, and one more: no block shows a
// line in less than a line's height.
int BlocksInView(const QPlainTextEdit* memo);

// Blocks, counted from the top, that may carry a layout: those the view laid out when it last
// painted or placed the caret, moved down by the lines inserted above them since. Qt keeps a
// block's layout (about 340 bytes) for as long as the block lives; copies in fresh blocks have
// none, so once such lines have left the view they are renewed.
class LaidOutLines {
    struct Range {
        int from;
        int to;
    };

  public:
    // The view laid out the top `count` blocks.
    void Mark(int count);
    // `count` lines went in above every block.
    void MovedDown(int count);
    // The document now has `blocks` blocks.
    void Trim(int blocks);

    // The marked lines that have left the view (`inView` blocks from the top), a few dozen at a
    // time, as one renewal; Renewed takes them off the marks once it is made.
    struct Renewal {
        std::vector<std::pair<int, int>> runs;  // first block, count
        qsizetype characters = 0;               // their text, line breaks not counted
        int lines = 0;

      private:
        friend class LaidOutLines;
        std::vector<Range> left;  // the marks once renewed
    };
    Renewal LeftView(const QTextDocument& document, int inView) const;
    void Renewed(const Renewal& renewal) { ranges_ = renewal.left; }

  private:
    std::vector<Range> ranges_;  // top-most first, apart from each other
};

// Puts the lines of `renewal` back as copies in fresh blocks, as one edit.
void Renew(QTextDocument* document, const LaidOutLines::Renewal& renewal);

// Qt's plain-text layout remembers the widest line by its number and, whenever the line under that
// number is laid out narrower, measures every line again, giving each a layout. Moves that number
// past the last line, where every later edit keeps it; see the definition. Needs two lines or more
// and a view on screen.
void ParkWidestLine(QPlainTextEdit* memo);
// The characters (line breaks not counted) that parking removes again.
qsizetype ParkingRemoves(const QTextDocument& document);

}  // namespace controls

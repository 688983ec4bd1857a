#pragma once
// Reading and writing the texts of the window's controls in the program's UTF-8.

#include <string>
#include <string_view>

class QLabel;
class QLineEdit;
class QAbstractButton;
class QPlainTextEdit;

namespace controls {

std::string Text(const QLineEdit* edit);
void SetText(QLineEdit* edit, std::string_view text);

std::string Caption(const QLabel* label);
// The label resizes to its new caption.
void SetCaption(QLabel* label, std::string_view caption);
void SetCaption(QAbstractButton* button, std::string_view caption);

// Adds 1 to the decimal count held in a label's caption.
void IncrementCount(QLabel* label);

// The most characters the log holds. At the limit the program's oldest lines make room for a new
// one, so a peer cannot make the log grow without bound and the newest traffic stays in view; a
// line is refused only when what the operator typed leaves no room for it.
inline constexpr int kMemoMaxCharacters = 4'000'000;

// Inserts `line` and a line break before the first character of the memo, leaves the caret after
// it and scrolls to show it. The insertion cannot be undone. While handlers gather their output
// (a burst of datagrams), the line waits and goes in with the others of the burst afterwards, in
// slices that leave the ticks their time; before the operator's input reaches the memo or a nested
// dispatch begins, everything waiting is in place. Outside a burst the line goes in at once,
// behind whatever still waits.
void InsertLineAtTop(QPlainTextEdit* memo, std::string_view line);

}  // namespace controls

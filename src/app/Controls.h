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

// The most characters the log holds; a line that would pass it is not inserted at all, so a
// peer cannot make the log grow without bound.
inline constexpr int kMemoMaxCharacters = 4'000'000;

// Inserts `line` and a line break before the first character of the memo, leaves the caret after
// it and scrolls to show it. The insertion cannot be undone.
void InsertLineAtTop(QPlainTextEdit* memo, std::string_view line);

}  // namespace controls

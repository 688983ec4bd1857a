#include "app/Controls.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>

#include "shell/QtText.h"
#include "shell/TextConversions.h"

namespace controls {

std::string Text(const QLineEdit* edit) {
    return shell::ToStdString(edit->text());
}

void SetText(QLineEdit* edit, std::string_view text) {
    edit->setText(shell::ToQString(text));
}

std::string Caption(const QLabel* label) {
    return shell::ToStdString(label->text());
}

void SetCaption(QLabel* label, std::string_view caption) {
    label->setText(shell::ToQString(caption));
    label->adjustSize();
}

void SetCaption(QAbstractButton* button, std::string_view caption) {
    button->setText(shell::ToQString(caption));
}

void IncrementCount(QLabel* label) {
    auto count = static_cast<std::uint32_t>(StrToInt(Caption(label)));
    SetCaption(label, IntToStr(static_cast<std::int32_t>(count + 1u)));
}

void InsertLineAtTop(QPlainTextEdit* memo, std::string_view line) {
    QString text = shell::ToQString(line);
    text += QLatin1Char('\n');
    QTextDocument* document = memo->document();
    // characterCount() includes the separator after the last line, which holds no text.
    if (document->characterCount() - 1 + text.size() > kMemoMaxCharacters) {
        return;
    }
    // The program's lines are never taken back: keep them out of the undo history. Undo entries
    // of the operator's own edits would point at shifted positions afterwards, so they go too.
    document->setUndoRedoEnabled(false);
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::Start);
    cursor.insertText(text);
    document->setUndoRedoEnabled(true);
    memo->setTextCursor(cursor);
    // The caret sits at the start of the line after the inserted one; scrolling only to the
    // caret could leave the inserted line just above the view.
    memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->minimum());
    memo->ensureCursorVisible();
}

}  // namespace controls

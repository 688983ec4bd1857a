#include "app/Controls.h"

#include <QAbstractButton>
#include <QFont>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <unordered_map>
#include <vector>

#include "shell/QtText.h"
#include "shell/TextConversions.h"

namespace controls {
namespace {

// Sizing a label to its caption lays the text out, which costs more than everything else that a
// received datagram does. A count's caption changes with every datagram, its size only when it
// gains a digit: when the font gives every digit the same advance and kerns no pair of digits,
// a caption of as many digits needs the size measured last time.
bool DigitsHaveOneWidth(const QFont& font) {
    static std::vector<std::pair<QFont, bool>> known;
    for (const auto& [measured, uniform] : known) {
        if (measured == font) {
            return uniform;
        }
    }
    const QFontMetricsF metrics(font);
    const qreal advance = metrics.horizontalAdvance(QStringLiteral("0"));
    bool uniform = advance > 0;
    for (char16_t first = u'0'; uniform && first <= u'9'; ++first) {
        uniform = metrics.horizontalAdvance(QString(QChar(first))) == advance;
        for (char16_t second = u'0'; uniform && second <= u'9'; ++second) {
            const QChar pair[] = {QChar(first), QChar(second)};
            uniform = metrics.horizontalAdvance(QString(pair, 2)) == 2 * advance;
        }
    }
    known.emplace_back(font, uniform);
    return uniform;
}

bool AllDigits(const QString& text) {
    if (text.isEmpty()) {
        return false;
    }
    for (QChar c : text) {
        if (c < u'0' || c > u'9') {
            return false;
        }
    }
    return true;
}

struct MeasuredCount {
    QFont font;
    qsizetype digits = 0;
    QSize size;
};

// GUI thread only, like the labels. An entry goes with its label.
std::unordered_map<const QLabel*, MeasuredCount>& MeasuredCounts() {
    static std::unordered_map<const QLabel*, MeasuredCount> counts;
    return counts;
}

void FitToCaption(QLabel* label, const QString& caption) {
    auto& counts = MeasuredCounts();
    auto found = counts.find(label);
    const bool countCaption = AllDigits(caption);
    if (countCaption && found != counts.end() && found->second.digits == caption.size() &&
        found->second.size == label->size() && found->second.font == label->font()) {
        return;  // same size as measured for this many digits, and nothing has moved it since
    }
    label->adjustSize();
    if (!countCaption || !DigitsHaveOneWidth(label->font())) {
        return;
    }
    if (found == counts.end()) {
        QObject::connect(label, &QObject::destroyed, [label] { MeasuredCounts().erase(label); });
        found = counts.emplace(label, MeasuredCount{}).first;
    }
    found->second = {label->font(), caption.size(), label->size()};
}

}  // namespace

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
    const QString text = shell::ToQString(caption);
    label->setText(text);
    FitToCaption(label, text);
}

void SetCaption(QAbstractButton* button, std::string_view caption) {
    button->setText(shell::ToQString(caption));
}

void IncrementCount(QLabel* label) {
    auto count = static_cast<std::uint32_t>(StrToInt(Caption(label)));
    SetCaption(label, IntToStr(static_cast<std::int32_t>(count + 1u)));
}

}  // namespace controls

#pragma once
// The program keeps its texts in UTF-8; Qt keeps them in QString.

#include <QString>
#include <string>
#include <string_view>

namespace shell {

inline QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string ToStdString(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    return std::string(utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

}  // namespace shell

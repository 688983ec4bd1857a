// Writes the program's icon, drawn by the program's own code, as PNG files in the sizes desktops
// look for: DIRECTORY/hicolor/NxN/apps/NAME.png.

#include <QDir>
#include <QImage>
#include <QString>
#include <cstdio>

#include "shell/ApplicationIcon.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DIRECTORY NAME\n", argv[0]);
        return 2;
    }
    const QString directory = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QStringLiteral("%1/hicolor/%2x%2/apps").arg(directory).arg(size);
        const QString file = QStringLiteral("%1/%2.png").arg(folder, name);
        if (!QDir().mkpath(folder) || !shell::DrawApplicationIcon(size).save(file, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}

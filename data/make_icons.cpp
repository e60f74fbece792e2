// Draws the program's emblem as the PNG pictures of the installed icon theme:
// <folder>/<n>x<n>/apps/tarnwick.png for each size, from the same code as the tray icon.
#include "shell/Icons.h"

#include <QDir>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_icons <folder>\n");
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QStringLiteral("%1x%1/apps").arg(size);
        const QString file = root.filePath(folder + QStringLiteral("/tarnwick.png"));
        if (!root.mkpath(folder) || !AppEmblemImage(size).save(file, "PNG")) {
            std::fprintf(stderr, "make_icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}

// Draws the application icon from the program's own lamp: the running lamp, lit, at each size
// given, as <folder>/<size>/tempovane.png. Run by the build on Qt's offscreen platform.
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>

#include "ui/display/lamp_pictures.h"

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s folder size...\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 8 || size > 1024) {
            std::fprintf(stderr, "not an icon size: %s\n", argv[i]);
            return 2;
        }
        const QString sizeFolder = folder + '/' + QString::number(size);
        const QString file = sizeFolder + QStringLiteral("/tempovane.png");
        if (!QDir().mkpath(sizeFolder) || !DrawLampPicture(kLampRunningLit, size).save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}

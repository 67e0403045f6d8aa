#include "ui/display/button_images.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>

int ButtonPictureIndex(int runState, bool flashOn, bool lampFlashes, bool portReady) {
    if (!portReady) return kLampNoPort;
    if (runState == 0) return flashOn ? kLampStoppedLit : kLampStoppedDark;
    if (flashOn || !lampFlashes) return kLampRunningLit;
    return kLampRunningDark;
}

int ButtonIconIndex(int pictureIndex) {
    return pictureIndex == kLampRunningDark ? kLampRunningLit : pictureIndex;
}

namespace {

const QPixmap& PictureAt(const std::array<QPixmap, kLampStateCount>& list, int index) {
    static const QPixmap none;
    if (index < 0 || index >= kLampStateCount) return none;
    return list[static_cast<size_t>(index)];
}

// Skin bitmaps carry no alpha channel, yet the button is drawn transparently so the window
// colour and the green flash show around the round lamp. As with transparent bitmaps on the
// desktop the skins were made for, the colour of the bottom-left pixel is the see-through
// colour. A bitmap that brings its own alpha channel is taken as it is.
QPixmap SkinPicture(const QImage& loaded) {
    if (loaded.hasAlphaChannel()) return QPixmap::fromImage(loaded);
    QImage picture = loaded.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = picture.pixel(0, picture.height() - 1);
    for (int y = 0; y < picture.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < picture.width(); ++x) {
            if (line[x] == key) line[x] = qRgba(0, 0, 0, 0);
        }
    }
    return QPixmap::fromImage(picture);
}

}  // namespace

ButtonImageLists::ButtonImageLists() {
    for (int state = 0; state < kLampStateCount; ++state) {
        MainButtonImageList[static_cast<size_t>(state)] = DrawLampPicture(state, kMainSize);
        TaskbarImageList[static_cast<size_t>(state)] = DrawLampPicture(state, kTaskbarSize);
    }
}

const QPixmap& ButtonImageLists::mainImage(int index) const {
    return PictureAt(MainButtonImageList, index);
}

const QPixmap& ButtonImageLists::taskbarImage(int index) const {
    return PictureAt(TaskbarImageList, index);
}

QIcon ButtonImageLists::applicationIcon(int index) const {
    return QIcon(mainImage(index));
}

bool ButtonImageLists::TryLoadButtonSkin(const QString& programFolder, QString* error) {
    const QDir folder(programFolder);
    if (!QFileInfo::exists(folder.filePath(QStringLiteral("button_0.bmp")))) return false;

    std::array<QImage, kLampStateCount> loaded;
    for (int state = 0; state < kLampStateCount; ++state) {
        const QString path = folder.filePath(QStringLiteral("button_%1.bmp").arg(state));
        // Only Windows bitmaps count, whatever a file's content claims to be.
        QImageReader reader(path, "bmp");
        reader.setAutoDetectImageFormat(false);
        loaded[static_cast<size_t>(state)] = reader.read();
        if (loaded[static_cast<size_t>(state)].isNull()) {
            // A broken skin must not stop the program: the pictures in use stay, and the
            // caller tells the user which file it was.
            if (error) *error = QStringLiteral("%1: %2").arg(path, reader.errorString());
            return false;
        }
    }

    // Taken as they are, also at another size than the button's; the button shows what it gets.
    for (int state = 0; state < kLampStateCount; ++state) {
        MainButtonImageList[static_cast<size_t>(state)] =
            SkinPicture(loaded[static_cast<size_t>(state)]);
    }
    return true;
}

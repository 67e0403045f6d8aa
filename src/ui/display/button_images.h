#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <array>

#include "ui/display/lamp_pictures.h"

// Which of the five lamp pictures the button shows. A running clock shows the dark green lamp
// between flashes, or the bright one steadily when the lamp does not flash (flashing switched
// off, or settings under which it cannot flash); without a usable output port the grey lamp
// wins over every clock state.
int ButtonPictureIndex(int runState, bool flashOn, bool lampFlashes, bool portReady);

// The application and tray icons do not flash: while the clock runs they show the bright green
// lamp whatever the button shows.
int ButtonIconIndex(int pictureIndex);

// The two picture sets of the start/stop button: five large pictures for the button and the
// application icon, five small ones for the tray. A skin may replace the large set only.
class ButtonImageLists {
  public:
    static constexpr int kMainSize = 76;
    static constexpr int kTaskbarSize = 16;

    // Draws the built-in pictures, so it needs the application object to exist.
    ButtonImageLists();

    // An index outside 0..4 gives a null pixmap.
    const QPixmap& mainImage(int index) const;
    const QPixmap& taskbarImage(int index) const;
    QIcon applicationIcon(int index) const;

    // Loads "button_0.bmp" .. "button_4.bmp" from programFolder in place of the large pictures.
    // Without button_0.bmp there is no skin; if any of the five cannot be read, loading stops
    // there, the pictures in use stay as they were, and *error names the file and the reason.
    // In a bitmap without alpha the colour of its bottom-left pixel becomes see-through.
    // Returns true when the skin was taken.
    bool TryLoadButtonSkin(const QString& programFolder, QString* error = nullptr);

  private:
    std::array<QPixmap, kLampStateCount> MainButtonImageList;
    std::array<QPixmap, kLampStateCount> TaskbarImageList;
};

#include <gtest/gtest.h>

#include <QColor>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>
#include <functional>
#include <utility>
#include <vector>

#include "ui/display/button_images.h"
#include "ui/display/lamp_pictures.h"

namespace {

QImage Pixels(const QPixmap& pixmap) {
    return pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
}

QColor CentreColour(const QPixmap& pixmap) {
    const QImage image = Pixels(pixmap);
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

bool SamePixels(const QPixmap& a, const QPixmap& b) {
    return Pixels(a) == Pixels(b);
}

}  // namespace

// --- which picture the button and the icons show ---------------------------------------------

struct IndexCase {
    int runState;
    bool flashOn;
    bool showFlashing;
    bool portReady;
    int picture;
    int icon;
};

class ButtonIndexTable : public testing::TestWithParam<IndexCase> {};

TEST_P(ButtonIndexTable, PictureAndIcon) {
    const IndexCase c = GetParam();
    const int picture = ButtonPictureIndex(c.runState, c.flashOn, c.showFlashing, c.portReady);
    EXPECT_EQ(picture, c.picture);
    EXPECT_EQ(ButtonIconIndex(picture), c.icon);
}

INSTANTIATE_TEST_SUITE_P(
    AllStates, ButtonIndexTable,
    testing::Values(
        // Flashing on: the running lamp follows the beat, the icons stay bright green.
        IndexCase{0, false, true, true, 2, 2}, IndexCase{0, true, true, true, 3, 3},
        IndexCase{1, false, true, true, 0, 1}, IndexCase{1, true, true, true, 1, 1},
        // Flashing off: a running clock shows the bright lamp steadily; stopped is unchanged.
        IndexCase{0, false, false, true, 2, 2}, IndexCase{0, true, false, true, 3, 3},
        IndexCase{1, false, false, true, 1, 1}, IndexCase{1, true, false, true, 1, 1},
        // No port ready: grey, whatever the clock and the flash do.
        IndexCase{0, false, true, false, 4, 4}, IndexCase{0, true, true, false, 4, 4},
        IndexCase{1, false, true, false, 4, 4}, IndexCase{1, true, true, false, 4, 4},
        IndexCase{0, false, false, false, 4, 4}, IndexCase{0, true, false, false, 4, 4},
        IndexCase{1, false, false, false, 4, 4}, IndexCase{1, true, false, false, 4, 4}));

// --- the built-in pictures --------------------------------------------------------------------

TEST(BuiltInPictures, SizesAndTransparentCorners) {
    ButtonImageLists lists;
    for (int state = 0; state < kLampStateCount; ++state) {
        SCOPED_TRACE(state);
        for (const QPixmap* pixmap : {&lists.mainImage(state), &lists.taskbarImage(state)}) {
            const QImage image = Pixels(*pixmap);
            ASSERT_FALSE(image.isNull());
            const int last = image.width() - 1;
            EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
            EXPECT_EQ(qAlpha(image.pixel(last, 0)), 0);
            EXPECT_EQ(qAlpha(image.pixel(0, last)), 0);
            EXPECT_EQ(qAlpha(image.pixel(last, last)), 0);
            EXPECT_EQ(qAlpha(image.pixel(image.width() / 2, image.height() / 2)), 255);
        }
        EXPECT_EQ(lists.mainImage(state).size(), QSize(76, 76));
        EXPECT_EQ(lists.taskbarImage(state).size(), QSize(16, 16));
    }
}

TEST(BuiltInPictures, LitLampsAreBrighterAndGlow) {
    for (int size : {76, 16}) {
        SCOPED_TRACE(size);
        EXPECT_GT(CentreColour(DrawLampPicture(kLampRunningLit, size)).lightness(),
                  CentreColour(DrawLampPicture(kLampRunningDark, size)).lightness() + 40);
        EXPECT_GT(CentreColour(DrawLampPicture(kLampStoppedLit, size)).lightness(),
                  CentreColour(DrawLampPicture(kLampStoppedDark, size)).lightness() + 40);
    }
    // Just inside the big picture's edge, above the ring, only a lit lamp puts light.
    auto alphaAboveRing = [](int state) {
        return qAlpha(Pixels(DrawLampPicture(state, 76)).pixel(38, 2));
    };
    EXPECT_EQ(alphaAboveRing(kLampRunningDark), 0);
    EXPECT_EQ(alphaAboveRing(kLampStoppedDark), 0);
    EXPECT_GT(alphaAboveRing(kLampRunningLit), 20);
    EXPECT_GT(alphaAboveRing(kLampStoppedLit), 20);
}

TEST(BuiltInPictures, GreenRedAndGrey) {
    for (int size : {76, 16}) {
        SCOPED_TRACE(size);
        for (int state : {kLampRunningDark, kLampRunningLit}) {
            const QColor centre = CentreColour(DrawLampPicture(state, size));
            EXPECT_GT(centre.hslHue(), 90) << "state " << state;
            EXPECT_LT(centre.hslHue(), 150) << "state " << state;
            EXPECT_GT(centre.hslSaturation(), 80) << "state " << state;
        }
        for (int state : {kLampStoppedDark, kLampStoppedLit}) {
            const QColor centre = CentreColour(DrawLampPicture(state, size));
            const int hue = centre.hslHue();
            EXPECT_TRUE(hue <= 20 || hue >= 340) << "state " << state << " hue " << hue;
            EXPECT_GT(centre.hslSaturation(), 80) << "state " << state;
        }
        const QImage grey = Pixels(DrawLampPicture(kLampNoPort, size));
        for (int y = 0; y < grey.height(); ++y) {
            for (int x = 0; x < grey.width(); ++x) {
                const QColor pixel = grey.pixelColor(x, y);
                // Faint edge pixels lose their colour precision when un-premultiplied.
                if (pixel.alpha() < 128) continue;
                ASSERT_LE(qAbs(pixel.red() - pixel.green()), 8) << x << "," << y;
                ASSERT_LE(qAbs(pixel.green() - pixel.blue()), 8) << x << "," << y;
            }
        }
    }
}

TEST(BuiltInPictures, UnknownStateDrawsTheGreyLampAndListsHaveNoSuchImage) {
    EXPECT_TRUE(SamePixels(DrawLampPicture(7, 76), DrawLampPicture(kLampNoPort, 76)));
    EXPECT_TRUE(SamePixels(DrawLampPicture(-1, 16), DrawLampPicture(kLampNoPort, 16)));
    EXPECT_TRUE(DrawLampPicture(0, 0).isNull());

    ButtonImageLists lists;
    EXPECT_TRUE(lists.mainImage(-1).isNull());
    EXPECT_TRUE(lists.mainImage(5).isNull());
    EXPECT_TRUE(lists.taskbarImage(5).isNull());
}

// --- skins ------------------------------------------------------------------------------------

namespace {

// Each skin picture: a plain background (the see-through colour, taken from the bottom-left
// pixel) with a square "lamp" of its own colour in the middle.
QColor SkinLampColour(int state) {
    return QColor(40 * state + 20, 200 - 30 * state, 90);
}
const QColor kSkinBackground(255, 0, 255);

QImage SkinPictureFor(int state, int size) {
    QImage image(size, size, QImage::Format_RGB32);
    image.fill(kSkinBackground);
    for (int y = size / 4; y < size * 3 / 4; ++y) {
        for (int x = size / 4; x < size * 3 / 4; ++x)
            image.setPixelColor(x, y, SkinLampColour(state));
    }
    return image;
}

void WriteSkin(const QTemporaryDir& dir, int count, int size = 76) {
    for (int state = 0; state < count; ++state) {
        ASSERT_TRUE(SkinPictureFor(state, size)
                        .save(dir.filePath(QStringLiteral("button_%1.bmp").arg(state)), "BMP"));
    }
}

void ExpectBuiltInPictures(const ButtonImageLists& lists) {
    const ButtonImageLists builtIn;
    for (int state = 0; state < kLampStateCount; ++state) {
        EXPECT_TRUE(SamePixels(lists.mainImage(state), builtIn.mainImage(state))) << state;
        EXPECT_TRUE(SamePixels(lists.taskbarImage(state), builtIn.taskbarImage(state))) << state;
    }
}

}  // namespace

TEST(ButtonSkin, FiveBitmapsReplaceTheLargePicturesOnly) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    WriteSkin(dir, 5);

    ButtonImageLists lists;
    const ButtonImageLists builtIn;
    ASSERT_TRUE(lists.TryLoadButtonSkin(dir.path()));

    for (int state = 0; state < kLampStateCount; ++state) {
        SCOPED_TRACE(state);
        const QImage main = Pixels(lists.mainImage(state));
        ASSERT_EQ(main.size(), QSize(76, 76));
        // File N became picture N, its background see-through.
        EXPECT_EQ(main.pixelColor(38, 38), SkinLampColour(state));
        EXPECT_EQ(qAlpha(main.pixel(0, 75)), 0);
        EXPECT_EQ(qAlpha(main.pixel(75, 0)), 0);
        EXPECT_TRUE(SamePixels(lists.taskbarImage(state), builtIn.taskbarImage(state)));
        EXPECT_TRUE(
            SamePixels(lists.applicationIcon(state).pixmap(QSize(76, 76)), lists.mainImage(state)));
    }
}

TEST(ButtonSkin, BitmapOfAnotherSizeIsTakenAsItIs) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    WriteSkin(dir, 5, 40);

    ButtonImageLists lists;
    ASSERT_TRUE(lists.TryLoadButtonSkin(dir.path()));
    EXPECT_EQ(lists.mainImage(2).size(), QSize(40, 40));
    EXPECT_EQ(Pixels(lists.mainImage(2)).pixelColor(20, 20), SkinLampColour(2));
    EXPECT_EQ(lists.taskbarImage(2).size(), QSize(16, 16));
}

TEST(ButtonSkin, IncompleteOrBrokenSkinKeepsTheBuiltInPictures) {
    using Setup = std::function<void(const QTemporaryDir&)>;
    struct Case {
        const char* name;
        Setup setup;
        const char* blamed;  // the file the error names; nullptr: no skin, nothing to say
    };
    const std::vector<Case> cases{
        {"no files", [](const QTemporaryDir&) {}, nullptr},
        {"only button_0.bmp", [](const QTemporaryDir& dir) { WriteSkin(dir, 1); }, "button_1.bmp"},
        {"button_0.bmp missing",
         [](const QTemporaryDir& dir) {
             WriteSkin(dir, 5);
             QFile::remove(dir.filePath("button_0.bmp"));
         },
         nullptr},
        {"corrupt button_3.bmp",
         [](const QTemporaryDir& dir) {
             WriteSkin(dir, 5);
             QFile corrupt(dir.filePath("button_3.bmp"));
             ASSERT_TRUE(corrupt.open(QIODevice::WriteOnly | QIODevice::Truncate));
             corrupt.write("BM this is no bitmap at all");
         },
         "button_3.bmp"},
        {"a PNG named button_4.bmp",
         [](const QTemporaryDir& dir) {
             WriteSkin(dir, 4);
             ASSERT_TRUE(SkinPictureFor(4, 76).save(dir.filePath("button_4.bmp"), "PNG"));
         },
         "button_4.bmp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        c.setup(dir);
        ButtonImageLists lists;
        QString error;
        EXPECT_FALSE(lists.TryLoadButtonSkin(dir.path(), &error));
        ExpectBuiltInPictures(lists);
        if (c.blamed) {
            // The whole path of the file that stopped the loading, and the reason after it.
            EXPECT_TRUE(error.startsWith(dir.filePath(QString::fromLatin1(c.blamed)) + ": "))
                << error.toStdString();
            EXPECT_GT(error.size(), dir.filePath(QString::fromLatin1(c.blamed)).size() + 2);
        } else {
            EXPECT_TRUE(error.isEmpty()) << error.toStdString();
        }
    }
}

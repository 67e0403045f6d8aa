#include "ui/display/lamp_pictures.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

namespace {

// Glass colours from the hot spot outwards. Lit lamps get a near-white core and a halo; dark
// lamps keep their hue but stay dim, so a musician still reads red or green from a distance.
struct LampColours {
    QColor core;
    QColor body;
    QColor rim;
    QColor glow;  // invalid for a lamp that is not lit
};

LampColours ColoursForState(int stateIndex) {
    switch (stateIndex) {
        case kLampRunningDark:
            return {QColor(80, 165, 80), QColor(28, 104, 36), QColor(8, 46, 14), QColor()};
        case kLampRunningLit:
            return {QColor(225, 255, 215), QColor(60, 235, 60), QColor(0, 140, 20),
                    QColor(90, 255, 80)};
        case kLampStoppedDark:
            return {QColor(180, 78, 68), QColor(118, 26, 22), QColor(52, 8, 8), QColor()};
        case kLampStoppedLit:
            return {QColor(255, 225, 210), QColor(255, 60, 40), QColor(165, 10, 5),
                    QColor(255, 80, 50)};
        default:
            return {QColor(168, 168, 168), QColor(118, 118, 118), QColor(62, 62, 62), QColor()};
    }
}

QColor WithAlpha(QColor colour, int alpha) {
    colour.setAlpha(alpha);
    return colour;
}

void FillCircle(QPainter& painter, QPointF centre, qreal radius, const QBrush& brush) {
    painter.setBrush(brush);
    painter.drawEllipse(centre, radius, radius);
}

}  // namespace

QPixmap DrawLampPicture(int stateIndex, int size) {
    if (size <= 0) return QPixmap();

    // Paint into a premultiplied image rather than a pixmap: its alpha channel does not depend
    // on the platform plugin, so the corners stay transparent everywhere, also offscreen.
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    const LampColours colours = ColoursForState(stateIndex);
    const bool lit = colours.glow.isValid();
    // Below 32 pixels there is no room for a halo outside the ring or for the finer bevels;
    // the small lamp spends its pixels on the glass instead.
    const bool small = size < 32;

    const qreal half = size / 2.0;
    const QPointF centre(half, half);
    const qreal bezelOuter = small ? half - 0.2 : half * 0.90;
    const qreal bezelInner = small ? half * 0.80 : bezelOuter * 0.83;
    const qreal glassRadius = small ? half * 0.70 : bezelOuter * 0.72;

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    if (lit && !small) {
        QRadialGradient halo(centre, half);
        halo.setColorAt(0.0, WithAlpha(colours.glow, 200));
        halo.setColorAt(bezelOuter / half, WithAlpha(colours.glow, 150));
        halo.setColorAt(1.0, WithAlpha(colours.glow, 0));
        FillCircle(painter, centre, half, halo);
    }

    // The ring: a dark edge, a metal face lit from above, then a recessed groove lit from below
    // so the glass looks set into it.
    FillCircle(painter, centre, bezelOuter, small ? QColor(130, 130, 134) : QColor(96, 96, 100));
    QLinearGradient face(0, centre.y() - bezelOuter, 0, centre.y() + bezelOuter);
    face.setColorAt(0.0, QColor(252, 252, 252));
    face.setColorAt(0.5, QColor(222, 222, 226));
    face.setColorAt(1.0, QColor(168, 168, 174));
    FillCircle(painter, centre, bezelOuter - (small ? 0.7 : 1.0), face);

    QLinearGradient groove(0, centre.y() - bezelInner, 0, centre.y() + bezelInner);
    groove.setColorAt(0.0, QColor(120, 120, 126));
    groove.setColorAt(1.0, QColor(236, 236, 240));
    FillCircle(painter, centre, bezelInner, groove);
    if (lit) {
        // Light from the glass spills onto the groove.
        QRadialGradient spill(centre, bezelInner);
        spill.setColorAt(glassRadius / bezelInner, WithAlpha(colours.glow, 230));
        spill.setColorAt(1.0, WithAlpha(colours.glow, small ? 90 : 40));
        FillCircle(painter, centre, bezelInner, spill);
    }
    FillCircle(painter, centre, glassRadius + (small ? 0.5 : 1.0), QColor(40, 40, 44));

    // The glass: a radial gradient whose hot spot sits a little above the centre, as if lit
    // from inside and seen from slightly below.
    const QPointF hotSpot(centre.x() - glassRadius * 0.12, centre.y() - glassRadius * 0.18);
    QRadialGradient glass(centre, glassRadius, hotSpot);
    glass.setColorAt(0.0, colours.core);
    glass.setColorAt(lit ? 0.45 : 0.35, colours.body);
    glass.setColorAt(1.0, colours.rim);
    FillCircle(painter, centre, glassRadius, glass);

    // Specular highlight: a soft white cap across the upper half of the glass.
    const qreal capWidth = glassRadius * (small ? 1.0 : 1.15);
    const qreal capHeight = glassRadius * (small ? 0.75 : 0.80);
    const QRectF cap(centre.x() - capWidth / 2, centre.y() - glassRadius * 0.92, capWidth,
                     capHeight);
    QLinearGradient sheen(0, cap.top(), 0, cap.bottom());
    sheen.setColorAt(0.0, QColor(255, 255, 255, small ? 150 : 190));
    sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
    painter.setBrush(sheen);
    painter.drawEllipse(cap);

    if (!small) {
        // A faint reflection along the lower edge gives the glass its depth.
        const QRectF lower(centre.x() - glassRadius * 0.6, centre.y() + glassRadius * 0.45,
                           glassRadius * 1.2, glassRadius * 0.42);
        QRadialGradient bounce(lower.center(), lower.width() / 2);
        bounce.setColorAt(0.0, QColor(255, 255, 255, lit ? 90 : 45));
        bounce.setColorAt(1.0, QColor(255, 255, 255, 0));
        painter.setBrush(bounce);
        painter.drawEllipse(lower);
    }

    painter.end();
    return QPixmap::fromImage(image);
}

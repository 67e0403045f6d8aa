// Message boxes with texts of any length: the box keeps a size that fits the screen, OK on it.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>

#include "ui/adapters/message_box_qt.h"

namespace {

// Shows the box, lets it lay itself out, and says whether it and its buttons are on the screen.
void ExpectOnScreen(QMessageBox& box) {
    box.show();
    QApplication::processEvents();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE(box.frameGeometry().height(), screen.height());
    EXPECT_LE(box.frameGeometry().width(), screen.width());
    for (QAbstractButton* button : box.buttons()) {
        if (!button->isVisible()) continue;
        const QRect place(button->mapToGlobal(QPoint(0, 0)), button->size());
        EXPECT_TRUE(screen.contains(place))
            << button->text().toStdString() << " at " << place.y() << " of " << screen.height();
    }
}

}  // namespace

TEST(MessageBox, AVeryLongNameKeepsTheBoxOnTheScreen) {
    const QString name = QStringLiteral("JACK: ") + QString(10000, QLatin1Char('x'));
    const QString text = QStringLiteral("Warning : \n Saved ports not found : \n") + name;
    const auto box = MakeMessageBox(nullptr, QMessageBox::Warning, QStringLiteral("Warning"), text);
    ExpectOnScreen(*box);
    // The whole text is there to read, in a field that scrolls.
    EXPECT_EQ(box->detailedText(), text);
    EXPECT_LE(box->text().size(), kMessageBoxChars);
    EXPECT_TRUE(
        box->text().startsWith(QStringLiteral("Warning : \n Saved ports not found : \nJACK: xxx")));
    EXPECT_TRUE(box->text().endsWith(QStringLiteral("xxx")));
    EXPECT_TRUE(box->text().contains(QChar(0x2026)));  // the name cut in its middle

    // Opened, the details stay within the screen too.
    for (QAbstractButton* button : box->buttons()) {
        if (box->buttonRole(button) == QMessageBox::ActionRole) button->click();
    }
    ExpectOnScreen(*box);
}

TEST(MessageBox, ManyLinesAreCountedNotAllShown) {
    QStringList ports;
    for (int i = 0; i < 500; ++i) ports << QStringLiteral("JACK: synth %1:midi_in").arg(i);
    const QString text = ports.join(QLatin1Char('\n'));
    const auto box = MakeMessageBox(nullptr, QMessageBox::Question, QStringLiteral("Confirm"), text,
                                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    ExpectOnScreen(*box);
    EXPECT_EQ(box->text().count(QLatin1Char('\n')), kMessageBoxLines);  // and the count
    EXPECT_TRUE(box->text().endsWith(QStringLiteral("... (488 more lines)")));
    EXPECT_EQ(box->detailedText(), text);
    EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
}

TEST(MessageBox, AShortTextIsShownAsItIs) {
    const QString text =
        QStringLiteral("Settings not saved: folder is read-only\n\n<b>not bold</b>");
    const auto box =
        MakeMessageBox(nullptr, QMessageBox::Warning, QStringLiteral("Settings"), text);
    EXPECT_EQ(box->text(), text);
    EXPECT_TRUE(box->detailedText().isEmpty());
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(ShortenedForBox(text, QFontMetrics(box->font())), text);
}

// The Link check box and peer count: where they sit, and that the window mirrors the session's
// state. (Joining a session is tested in a private network; nothing here enables Link.)
#include <gtest/gtest.h>

#include <QAction>

#include "app/sync_control.h"
#include "support/window_rig.h"

TEST_F(MainWindowTest, LinkControlsSitInTheGeneralBoxTitleRowAndMoveNothing) {
    TKorvidMain& w = open();
    ASSERT_NE(w.LinkCheckBox, nullptr);
    ASSERT_NE(w.LinkPeersLabel, nullptr);
    EXPECT_EQ(w.LinkCheckBox->parentWidget(), w.GeneralOptionBox);
    EXPECT_EQ(w.LinkCheckBox->text(), "Link");
    EXPECT_EQ(w.GeneralOptionBox->geometry(), QRect(0, 432, 249, 49));
    const QRect box(QPoint(0, 0), w.GeneralOptionBox->size());
    for (QWidget* ours :
         {static_cast<QWidget*>(w.LinkCheckBox), static_cast<QWidget*>(w.LinkPeersLabel)}) {
        EXPECT_TRUE(box.contains(ours->geometry())) << ours->objectName().toStdString();
        EXPECT_FALSE(ours->geometry().intersects(w.PatchComboBox->geometry()));
        EXPECT_FALSE(ours->geometry().intersects(w.EditPatchButton->geometry()));
    }
    EXPECT_FALSE(w.LinkCheckBox->geometry().intersects(w.LinkPeersLabel->geometry()));
    // Clear of the box's own title.
    const int title = w.GeneralOptionBox->fontMetrics().horizontalAdvance("General Settings");
    EXPECT_GT(w.LinkCheckBox->x(), 8 + title);
    EXPECT_FALSE(w.LinkCheckBox->isChecked());
    EXPECT_TRUE(w.LinkPeersLabel->text().isEmpty());
}

TEST_F(MainWindowTest, CtrlLIsTheLinkCommand) {
    TKorvidMain& w = open();
    QAction* action = w.Command("ToggleLink");
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));
    EXPECT_FALSE(action->autoRepeat()) << "held, it would join and leave over and over";
}

TEST_F(MainWindowTest, JackTransportChoiceSitsBesideThePatchListAndShowsTheModeInForce) {
    TKorvidMain& w = open();
    ASSERT_NE(w.JackTransportBox, nullptr);
    EXPECT_EQ(w.JackTransportBox->parentWidget(), w.GeneralOptionBox);
    EXPECT_EQ(w.JackTransportBox->accessibleName(), "JACK transport");
    const QRect box(QPoint(0, 0), w.GeneralOptionBox->size());
    EXPECT_TRUE(box.contains(w.JackTransportBox->geometry()));
    for (QWidget* other :
         {static_cast<QWidget*>(w.PatchComboBox), static_cast<QWidget*>(w.EditPatchButton),
          static_cast<QWidget*>(w.LinkCheckBox)})
        EXPECT_FALSE(w.JackTransportBox->geometry().intersects(other->geometry()))
            << other->objectName().toStdString();
    // The items in the order of the settings' modes.
    ASSERT_EQ(w.JackTransportBox->count(), 3);
    EXPECT_EQ(w.JackTransportBox->itemText(AppSettings::kTransportFollow), "JACK: follow");
    EXPECT_EQ(w.JackTransportBox->itemText(AppSettings::kTransportMaster), "JACK: lead");
    // The window here has no JACK server: a choice is refused, said, and the box shows "off"
    // again, while the choice is kept for the next start.
    w.JackTransportBox->setCurrentIndex(AppSettings::kTransportFollow);
    emit w.JackTransportBox->activated(AppSettings::kTransportFollow);
    pump(2);
    EXPECT_EQ(status(), "JACK transport: no JACK server");
    EXPECT_EQ(w.JackTransportBox->currentIndex(), AppSettings::kTransportOff);
    EXPECT_EQ(model().settings.JACKTRANSPORTMODE.load(), AppSettings::kTransportFollow);
}

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

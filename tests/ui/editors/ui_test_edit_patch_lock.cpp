// The patch editor's lock switch: ticked and stored, the definition file says to lock onto the
// incoming clock, the port locks at once, and the editor shows it ticked when opened again.
#include <gtest/gtest.h>

#include <QTimer>
#include <functional>

#include "midiin/midi_in_port.h"
#include "platform/ini_file.h"
#include "support/window_rig.h"
#include "ui/editors/edit_patch.h"

namespace {

struct PatchLockTest : MainWindowTest {
    DialogWatchdog watchdog;

    void SetUp() override {
        MainWindowTest::SetUp();
        folder.write("indrv/Master.ini",
                     "[DEVICECONFIGURATION]\nTEMPOVANE_IN_HANDLING=1\n"
                     "[SPECIAL_COMMANDS]\nINPUT0=B00740\nACTION0=10001\nCOMMENT0=Start\n");
    }

    TKorvidMain& openWithMaster() {
        TKorvidMain& w = open();
        const int type = w.MIDIInDevTypeComboBox1->findText("Master");
        EXPECT_GE(type, 0);
        w.MIDIInDevTypeComboBox1->setCurrentIndex(type);
        emit w.MIDIInDevTypeComboBox1->activated(type);
        w.MIDIInComboBox1->setCurrentIndex(0);
        emit w.MIDIInComboBox1->activated(0);
        return w;
    }

    // Runs step on the patch editor once it is up, then clicks Edit.
    void editWith(TKorvidMain& w, std::function<void(TEditPatch&)> step) {
        bool ran = false;
        QTimer::singleShot(0, [&] {
            auto* patch = qobject_cast<TEditPatch*>(QApplication::activeModalWidget());
            if (!patch) {
                ADD_FAILURE() << "patch editor not shown";
                return;
            }
            step(*patch);
            ran = true;
        });
        QTest::mouseClick(w.InputEditButton, Qt::LeftButton);
        EXPECT_TRUE(ran);
    }

    std::string lockKey() const {
        IniFile file;
        file.load(folder.file("indrv/Master.ini"));
        return file.readString("DEVICECONFIGURATION", "TEMPOVANE_IN_LOCK", "");
    }
};

}  // namespace

TEST_F(PatchLockTest, TickedAndStoredLocksAndReopensTicked) {
    TKorvidMain& w = openWithMaster();
    ASSERT_FALSE(model().InPort()->LockMode());
    editWith(w, [&](TEditPatch& patch) {
        EXPECT_TRUE(patch.MCLOCKINProcess->isChecked());
        EXPECT_FALSE(patch.MCLOCKINLock->isChecked());
        ClickCheckBox(patch.MCLOCKINLock);
        EXPECT_TRUE(patch.MCLOCKINLock->isChecked());
        EXPECT_FALSE(model().InPort()->LockMode());  // nothing changes before Store
        QTest::mouseClick(patch.OKButton, Qt::LeftButton);
    });
    EXPECT_EQ(lockKey(), "1");
    EXPECT_TRUE(model().InPort()->LockMode());
    // The clock follows the lock from the next pump on.
    pump();
    EXPECT_TRUE(model().Timer().HasSchedule());

    // Opened again (a fresh editor), the box shows what the file and the port say; unticked
    // and stored, the key goes back to 0 and the clock to its own tempo.
    editWith(w, [&](TEditPatch& patch) {
        EXPECT_TRUE(patch.MCLOCKINLock->isChecked());
        EXPECT_TRUE(patch.MCLOCKINProcess->isChecked());  // the other switch left alone
        ClickCheckBox(patch.MCLOCKINLock);
        QTest::mouseClick(patch.OKButton, Qt::LeftButton);
    });
    EXPECT_EQ(lockKey(), "0");
    EXPECT_FALSE(model().InPort()->LockMode());
    pump();
    EXPECT_FALSE(model().Timer().HasSchedule());
}

TEST_F(PatchLockTest, TheCloseBoxDiscardsTheSwitch) {
    TKorvidMain& w = openWithMaster();
    const std::string before = folder.read("indrv/Master.ini");
    editWith(w, [&](TEditPatch& patch) {
        ClickCheckBox(patch.MCLOCKINLock);
        patch.close();
    });
    EXPECT_EQ(folder.read("indrv/Master.ini"), before);
    EXPECT_FALSE(model().InPort()->LockMode());
    editWith(w, [&](TEditPatch& patch) {
        EXPECT_FALSE(patch.MCLOCKINLock->isChecked());
        patch.close();
    });
}

TEST_F(PatchLockTest, SwitchesSitSideBySideWithoutOverlapping) {
    TKorvidMain& w = openWithMaster();
    editWith(w, [&](TEditPatch& patch) {
        const QRect process = patch.MCLOCKINProcess->geometry();
        const QRect lock = patch.MCLOCKINLock->geometry();
        EXPECT_EQ(process.top(), lock.top());  // one row, beside each other
        EXPECT_LT(process.right(), lock.left());
        EXPECT_LT(lock.right(), patch.SaveAsButton->geometry().left());
        EXPECT_LT(patch.SaveAsButton->geometry().right(), patch.OKButton->geometry().left());
        // Each caption fits its box.
        for (QCheckBox* box : {patch.MCLOCKINProcess, patch.MCLOCKINLock})
            EXPECT_GE(box->width(), box->sizeHint().width()) << box->text().toStdString();
        EXPECT_LE(patch.OKButton->geometry().right(), patch.width());
        patch.close();
    });
}

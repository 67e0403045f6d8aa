// Keys as the window sees them: layouts other than US, and keys held down.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QKeyEvent>

#include "support/window_rig.h"

namespace {

// Counts the key presses that reach a control.
struct KeyCounter : QObject {
    explicit KeyCounter(QObject* control) { control->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) ++presses;
        return false;
    }
    int presses = 0;
};

struct WindowKeysTest : MainWindowTest {
    // A press as a Linux desktop delivers it, with the XKB scan code of the kernel key code.
    void press(int qtKey, quint32 evdev, bool autoRepeat = false,
               Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent event(QEvent::KeyPress, qtKey, modifiers, evdev ? evdev + 8 : 0, 0, 0, QString(),
                        autoRepeat);
        QApplication::sendEvent(QApplication::focusWidget(), &event);
    }
};

}  // namespace

TEST_F(WindowKeysTest, AzertyAndGermanKeysReachTheInputMapByTheirPlace) {
    TKorvidMain& w = open();
    w.TapButton->setFocus();
    press(Qt::Key_Ampersand, 2);  // AZERTY "1" key
    press(Qt::Key_Eacute, 3);     // AZERTY "2" key
    press(Qt::Key_A, 16);         // AZERTY A, in the US Q place
    press(Qt::Key_Adiaeresis, 40);
    press(Qt::Key_Odiaeresis, 39);
    press(Qt::Key_ssharp, 12);
    EXPECT_EQ(keysToInputMap, (std::vector<int>{49, 50, 65, 222, 186, 189}));
}

TEST_F(WindowKeysTest, HeldKeysKeepReachingTheInputMap) {
    open();
    press(Qt::Key_Up, 103);
    press(Qt::Key_Up, 103, true);
    press(Qt::Key_Up, 103, true);
    press(Qt::Key_B, 48, true);
    EXPECT_EQ(keysToInputMap, (std::vector<int>{38, 38, 38, 66}));
}

TEST_F(WindowKeysTest, HeldSpaceAndEnterTapAndToggleOnceAndNeverReachTheFocusedControl) {
    TKorvidMain& w = open();
    openPort1();
    w.MIDIOutDividerComboBox1->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), w.MIDIOutDividerComboBox1);
    KeyCounter reached(w.MIDIOutDividerComboBox1);
    press(Qt::Key_Space, 57);
    for (int i = 0; i < 5; ++i) press(Qt::Key_Space, 57, true);
    EXPECT_EQ(model().state.TapStep.load(), 3);  // one tap
    EXPECT_FALSE(w.MIDIOutDividerComboBox1->view()->isVisible());
    press(Qt::Key_Return, 28);
    for (int i = 0; i < 5; ++i) press(Qt::Key_Return, 28, true);
    EXPECT_EQ(model().state.RunState.load(), 1);  // started once, not toggled back and forth
    EXPECT_EQ(reached.presses, 0);
    EXPECT_EQ(keysToInputMap.size(), 12u);  // every press and repeat went to the input map

    // With the keyboard tap off, a plain Space is the focused control's, a held one is not.
    model().settings.IGNOREKEYBOARDTAP = 1;
    w.MIDIOutEnable1->setFocus();
    KeyCounter checkBox(w.MIDIOutEnable1);
    press(Qt::Key_Space, 57);
    for (int i = 0; i < 5; ++i) press(Qt::Key_Space, 57, true);
    EXPECT_EQ(checkBox.presses, 1);
    EXPECT_EQ(model().state.TapStep.load(), 3);
}

TEST_F(WindowKeysTest, HoldingTheTransportKeysActsOnce) {
    open();
    openPort1();
    QTest::simulateEvent(window.get(), true, Qt::Key_F1, Qt::NoModifier, QString(), false);
    for (int i = 0; i < 3; ++i)
        QTest::simulateEvent(window.get(), true, Qt::Key_F1, Qt::NoModifier, QString(), true);
    EXPECT_EQ(model().state.RunState.load(), 1);
    // A held preset key may repeat: it only sets the same tempo again.
    EXPECT_TRUE(window->Command("F5Tempo")->autoRepeat());
    EXPECT_FALSE(window->Command("StartStopSeq")->autoRepeat());
}

TEST_F(WindowKeysTest, KeysTheEnabledInputMapUsesReachNoControl) {
    recordKeys = false;
    folder.write("indrv/Keys.ini",
                 "[SPECIAL_COMMANDS]\nINPUT0=600044\nACTION0=10006\nINPUT1=600053\n"
                 "ACTION1=10001\n");
    folder.write("clockpresets.ini", "[MIDIINPORT1]\nDEVICETYPE=Keys\n");
    folder.write("outdrv/Clock.ini", "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\n");
    TKorvidMain& w = open();
    openPort1();
    ASSERT_EQ(w.MIDIInDevTypeComboBox1->currentText(), "Keys");
    const double before = model().GetBPM();

    // "d" on the focused input map list: the map's BPM -1, not the list's search for "Default".
    w.MIDIInDevTypeComboBox1->setFocus();
    KeyCounter typeList(w.MIDIInDevTypeComboBox1);
    press(Qt::Key_D, 32);
    EXPECT_EQ(typeList.presses, 0);
    EXPECT_EQ(w.MIDIInDevTypeComboBox1->currentText(), "Keys");
    EXPECT_EQ(model().inControls.deviceType.text(), "Keys");
    EXPECT_EQ(model().GetBPM(), before - 1);

    // "s" on a device type list: start, and the port keeps its type.
    const QString type = w.MIDIOutDevTypeComboBox1->currentText();
    w.MIDIOutDevTypeComboBox1->setFocus();
    KeyCounter deviceType(w.MIDIOutDevTypeComboBox1);
    press(Qt::Key_S, 31);
    EXPECT_EQ(deviceType.presses, 0);
    EXPECT_EQ(w.MIDIOutDevTypeComboBox1->currentText(), type);
    EXPECT_EQ(model().state.RunState.load(), 1);

    // A key the map does not use still reaches the control.
    press(Qt::Key_C, 46);
    EXPECT_EQ(deviceType.presses, 1);
    // With the input switched off, the map takes nothing.
    model().inControls.enable.setChecked(false);
    press(Qt::Key_S, 31);
    EXPECT_EQ(deviceType.presses, 2);
    EXPECT_EQ(model().state.RunState.load(), 1);
}

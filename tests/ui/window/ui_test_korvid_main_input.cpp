// The "Midi Input Port + Key Setup" box of the main window.
#include <gtest/gtest.h>

#include "midiin/midi_in_port.h"
#include "support/window_rig.h"

namespace {
const std::string kVirtualInput = "Memory: Tempovane virtual input";

QStringList Items(QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
    return items;
}
}  // namespace

TEST_F(MainWindowTest, InputBoxPicksPortAndDefinitionAndActsOnMidi) {
    folder.write(
        "indrv/Pedal.ini",
        "[SPECIAL_COMMANDS]\nINPUT0=B007F1\nACTION0=10000\nINPUT1=B040FB\nACTION1=10001\n");
    TKorvidMain& w = open();
    openPort1();
    EXPECT_EQ(Items(w.MIDIInComboBox1),
              QStringList({QString::fromStdString(kVirtualInput), QStringLiteral("None")}));
    EXPECT_EQ(w.MIDIInComboBox1->currentText(), "None");
    EXPECT_EQ(Items(w.MIDIInDevTypeComboBox1), QStringList({"Pedal", "Default"}));

    w.MIDIInDevTypeComboBox1->setCurrentIndex(0);
    emit w.MIDIInDevTypeComboBox1->activated(0);
    w.MIDIInComboBox1->setCurrentIndex(0);
    emit w.MIDIInComboBox1->activated(0);
    ASSERT_NE(model().InPort(), nullptr);
    EXPECT_TRUE(model().InPort()->Device().Using());

    ASSERT_EQ(memory->inject(kVirtualInputName, {0xB0, 0x07, 90}, 1), 1);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 90);
    memory->inject(kVirtualInputName, {0xB0, 0x40, 127}, 2);
    EXPECT_EQ(model().state.RunState.load(), 1);

    // Clearing the box stops everything the input does.
    w.MIDIInEnable1->click();
    EXPECT_FALSE(model().inControls.enable.checked());
    memory->inject(kVirtualInputName, {0xB0, 0x07, 100}, 3);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 90);
    pump();
    EXPECT_FALSE(w.MIDIInEnable1->isChecked());
}

TEST_F(MainWindowTest, InputPortIsSavedAndAMissingOneJoinsTheWarning) {
    folder.write("clockpresets.ini",
                 "[APPLICATION_PRESETS]\n[MIDIINPORT1]\nMIDIPORTINDEX=0\n"
                 "MIDIPORTNAME=JACK: gone:out\nDEVICETYPE=Default\n");
    TKorvidMain& w = open();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("JACK: gone:out")) << messages[0].toStdString();
    EXPECT_EQ(w.MIDIInComboBox1->currentText(), "None");

    w.MIDIInComboBox1->setCurrentIndex(0);
    emit w.MIDIInComboBox1->activated(0);
    w.SaveSettings();
    const std::string text = folder.read("clockpresets.ini");
    EXPECT_NE(text.find("MIDIPORTNAME=" + kVirtualInput), std::string::npos) << text;
    EXPECT_NE(text.find("DEVICETYPE=Default"), std::string::npos) << text;
}

TEST_F(MainWindowTest, KeysReachTheInputMap) {
    folder.write("indrv/Keys.ini", "[SPECIAL_COMMANDS]\nINPUT0=600055\nACTION0=10007\n");
    TKorvidMain& w = open();
    // The rig records keys in place of the map; give them back to the input port.
    model().CreateInPort(folder.path() + "indrv/");
    SelectByName(model().inControls.deviceType, "Keys");
    model().InPort()->DeviceTypeChanged();
    model().SetBPM(100);
    w.TapButton->setFocus();
    key(Qt::Key_U);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 101);
}

TEST_F(MainWindowTest, ClosingClearsTheInputEnableBox) {
    open();
    EXPECT_TRUE(model().inControls.enable.checked());
    window->CloseWithoutQuestions();
    EXPECT_FALSE(window->MIDIInEnable1->isChecked());
    EXPECT_FALSE(model().inControls.enable.checked());  // what the dispatch looks at
    EXPECT_EQ(model().InPort(), nullptr);               // destroyed with the ports
}

#include <gtest/gtest.h>

#include "support/window_rig.h"

TEST_F(MainWindowTest, APortListOpenedLaterOffersDevicesThatAppearedMeanwhile) {
    TKorvidMain& w = open();
    openPort1();
    memory->addDevice("late synth");
    w.MIDIOutComboBox1->showPopup();
    const int late = w.MIDIOutComboBox1->findText("Memory: late synth");
    EXPECT_GE(late, 0);
    EXPECT_EQ(w.MIDIOutComboBox1->currentText(), "Memory: synth");
    w.MIDIOutComboBox1->hidePopup();
    pump();
    // The memory backend is no JACK server, and the line says that one is missing.
    EXPECT_EQ(status(), "No JACK server running");

    // Chosen as the user does: the new device opens.
    w.MIDIOutComboBox1->setCurrentIndex(late);
    emit w.MIDIOutComboBox1->activated(late);
    EXPECT_EQ(memory->currentlyOpen("late synth"), 1);
    EXPECT_EQ(memory->currentlyOpen("synth"), 0);
}

TEST_F(MainWindowTest, MissingSavedPortsAreListedOneALineAndStayInTheFile) {
    folder.write("clockpresets.ini",
                 "[MIDIOUTPORT1]\nMIDIPORTINDEX=3\nMIDIPORTNAME=Memory: gone\n"
                 "[MIDIOUTPORT2]\nMIDIPORTINDEX=4\nMIDIPORTNAME=Memory: away\n"
                 "[MIDIINPORT1]\nMIDIPORTINDEX=2\nMIDIPORTNAME=Memory: pedal\n");
    TKorvidMain& w = open();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0],
              "Warning: Warning : \n Saved ports not found : \nMemory: gone\n"
              "Memory: away\nMemory: pedal");
    EXPECT_EQ(w.MIDIOutComboBox1->currentText(), "None");
    EXPECT_EQ(w.MIDIInComboBox1->currentText(), "None");
    window->RunCommand("SaveSettings");
    std::string saved = folder.read("clockpresets.ini");
    EXPECT_NE(saved.find("MIDIPORTINDEX=3\nMIDIPORTNAME=Memory: gone\n"), std::string::npos)
        << saved;
    EXPECT_NE(saved.find("MIDIPORTINDEX=4\nMIDIPORTNAME=Memory: away\n"), std::string::npos);
    // The controller is not forgotten either, also after its list was read again.
    w.MIDIInComboBox1->showPopup();
    w.MIDIInComboBox1->hidePopup();
    window->RunCommand("SaveSettings");
    saved = folder.read("clockpresets.ini");
    EXPECT_NE(saved.find("[MIDIINPORT1]\nMIDIPORTINDEX=2\nMIDIPORTNAME=Memory: pedal\n"),
              std::string::npos)
        << saved;

    // Once the user opens another device there, that one is saved.
    memory->addInputDevice("keys");
    w.MIDIInComboBox1->showPopup();
    const int keys = w.MIDIInComboBox1->findText("Memory: keys");
    ASSERT_GE(keys, 0);
    w.MIDIInComboBox1->hidePopup();
    w.MIDIInComboBox1->setCurrentIndex(keys);
    emit w.MIDIInComboBox1->activated(keys);
    EXPECT_EQ(memory->inputsOpenNow("keys"), 1);
    window->RunCommand("SaveSettings");
    saved = folder.read("clockpresets.ini");
    EXPECT_NE(saved.find("MIDIPORTNAME=Memory: keys\n"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("Memory: pedal"), std::string::npos) << saved;
}

TEST_F(MainWindowTest, TheInputListOpenedLaterOffersControllersThatAppearedMeanwhile) {
    TKorvidMain& w = open();
    EXPECT_EQ(w.MIDIInComboBox1->findText("Memory: late pads"), -1);
    memory->addInputDevice("late pads");
    w.MIDIInComboBox1->showPopup();
    const int late = w.MIDIInComboBox1->findText("Memory: late pads");
    EXPECT_GE(late, 0);
    EXPECT_EQ(w.MIDIInComboBox1->currentText(), "None");
    w.MIDIInComboBox1->hidePopup();
    w.MIDIInComboBox1->setCurrentIndex(late);
    emit w.MIDIInComboBox1->activated(late);
    EXPECT_EQ(memory->inputsOpenNow("late pads"), 1);
}

// A synth and a controller named in the settings, whose programs start after ours: the window's
// pump opens each as it appears, and the boxes and the status line show it.
TEST_F(MainWindowTest, SavedDevicesThatAppearLaterAreOpenedByThePump) {
    folder.write("clockpresets.ini",
                 "[MIDIOUTPORT1]\nMIDIPORTNAME=Memory: later synth\n"
                 "[MIDIINPORT1]\nMIDIPORTNAME=Memory: later pad\n");
    TKorvidMain& w = open();
    EXPECT_EQ(w.MIDIOutComboBox1->currentText(), "None");
    pump();
    memory->addDevice("later synth");
    pump();
    EXPECT_EQ(memory->currentlyOpen("later synth"), 1);
    EXPECT_EQ(w.MIDIOutComboBox1->currentText(), "Memory: later synth");
    EXPECT_EQ(status(), "MIDI Port reconnected: later synth");
    EXPECT_TRUE(model().state.PortReady.load());

    memory->addInputDevice("later pad");
    pump();
    EXPECT_EQ(memory->inputsOpenNow("later pad"), 1);
    EXPECT_EQ(w.MIDIInComboBox1->currentText(), "Memory: later pad");
    EXPECT_EQ(status(), "MIDI IN Port reconnected: later pad");

    // A device the user has chosen away from is not taken back when another one appears.
    SelectByName(model().out1Controls.port, "Memory: synth");
    model().OutPort1()->OpenSelectedPort();
    memory->addDevice("yet another");
    pump();
    EXPECT_EQ(memory->currentlyOpen("synth"), 1);
    EXPECT_EQ(memory->currentlyOpen("later synth"), 0);
}

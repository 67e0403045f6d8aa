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
                 "[MIDIOUTPORT2]\nMIDIPORTINDEX=4\nMIDIPORTNAME=Memory: away\n");
    TKorvidMain& w = open();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0],
              "Warning: Warning : \n Saved ports not found : \nMemory: gone\nMemory: away");
    EXPECT_EQ(w.MIDIOutComboBox1->currentText(), "None");
    window->RunCommand("SaveSettings");
    const std::string saved = folder.read("clockpresets.ini");
    EXPECT_NE(saved.find("MIDIPORTINDEX=3\nMIDIPORTNAME=Memory: gone\n"), std::string::npos)
        << saved;
    EXPECT_NE(saved.find("MIDIPORTINDEX=4\nMIDIPORTNAME=Memory: away\n"), std::string::npos);
}

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTest>
#include <QWheelEvent>

#include "midiout/midi_out_port.h"
#include "support/window_rig.h"
#include "ui/display/help_form.h"
#include "ui/window/korvid_main.h"

TEST_F(MainWindowTest, ControlsSitWhereTheLayoutPutsThem) {
    TKorvidMain& w = open();
    EXPECT_EQ(w.Label1->geometry(), QRect(105, 16, 37, 16));
    EXPECT_EQ(w.BPMLabel->geometry(), QRect(105, 32, 66, 45));
    EXPECT_EQ(w.TempoTrackBar->geometry(), QRect(216, 0, 33, 185));
    EXPECT_EQ(w.TapButton->geometry(), QRect(128, 136, 57, 26));
    EXPECT_EQ(w.GroupBox2->geometry(), QRect(0, 264, 249, 81));
    EXPECT_EQ(w.MIDIOutDividerComboBox2->geometry(), QRect(136, 48, 73, 21));
    EXPECT_EQ(w.GeneralOptionBox->geometry(), QRect(0, 432, 249, 49));
    EXPECT_EQ(w.TapTempoDuration->geometry(), QRect(704, 24, 177, 137));
    EXPECT_EQ(w.MIDIOutDividerComboBox1->count(), 7);
    EXPECT_EQ(w.MIDIOutDividerComboBox1->itemText(6), "64");
    EXPECT_TRUE(w.TapTempoDurationItems[2]->isChecked());
    EXPECT_EQ(w.ShowMoreButton->toolTip(), "Toggle Window Size");
    EXPECT_EQ(w.windowTitle(), "TEMPOVANE 4.01");
    EXPECT_EQ(w.MIDIOutComboBox1->currentText(), "None");
    EXPECT_EQ(w.MIDIOutDevTypeComboBox1->currentText(), "Tempovane");
}

TEST_F(MainWindowTest, FirstPassShowsTheStateEvenWithoutAStatus) {
    TKorvidMain& w = open();
    pump();
    EXPECT_EQ(w.ShownPictureIndex(), 4);  // no port ready
    EXPECT_EQ(w.BPMLabel->text(), "120");
    EXPECT_EQ(w.ApplicationTitle(), "120 BPM");
    openPort1();
    EXPECT_EQ(w.ShownPictureIndex(), 2);  // stopped
    EXPECT_EQ(status(), "MIDI Port Selected ...");
    EXPECT_EQ(statusColor(), QColor(0, 128, 128));
}

TEST_F(MainWindowTest, PumpShowsTheTempoAndHandsItToTheTimer) {
    TKorvidMain& w = open();
    w.TempoFractionalEdit->show();
    model().state.TempoMilliBPM = 120500;
    model().state.TempoChanges = 1;
    pump();
    EXPECT_EQ(w.BPMLabel->text(), "120");
    EXPECT_EQ(w.TempoFractionalEdit->value(), 500);
    EXPECT_EQ(w.ApplicationTitle(), "120.5 BPM");
    EXPECT_EQ(model().Timer().Tempo(), 120500u);
    EXPECT_EQ(w.TempoTrackBar->value(), 330 + 0 - 120);
    // The pump's own moves of the controls do not count as the user's.
    EXPECT_DOUBLE_EQ(model().GetBPM(), 120.0);
}

TEST_F(MainWindowTest, ClockRunsAndTheLampFlashesOnTheBeat) {
    TKorvidMain& w = open();
    openPort1();
    key(Qt::Key_F1);
    pump();
    EXPECT_FALSE(w.MIDIOutComboBox1->isEnabled());
    std::vector<int> shown;
    for (int tickNo = 1; tickNo <= 30; ++tickNo) {
        tick();
        pump();
        shown.push_back(w.ShownPictureIndex());
    }
    EXPECT_EQ(shown[0], 1);   // tick 1: lit
    EXPECT_EQ(shown[10], 1);  // tick 11
    EXPECT_EQ(shown[11], 0);  // tick 12: dark
    EXPECT_EQ(shown[24], 1);  // tick 25: lit again
    int clocks = 0;
    for (const auto& m : memory->messagesFor("synth")) clocks += m.bytes[0] == 0xF8;
    EXPECT_EQ(clocks, 30);

    key(Qt::Key_F1);
    pump(2);
    EXPECT_EQ(w.ShownPictureIndex(), 2);
    EXPECT_TRUE(w.MIDIOutComboBox1->isEnabled());
    EXPECT_EQ(status(), "Stopped ...");
}

TEST_F(MainWindowTest, FullFlashingPaintsTheWindowAndAStopHealsIt) {
    TKorvidMain& w = open();
    openPort1();
    model().settings.FULLFLASHING = true;
    key(Qt::Key_F1);
    tick();
    pump();
    EXPECT_EQ(w.palette().color(QPalette::Window), QColor(0, 255, 0));
    EXPECT_EQ(w.ShownPictureIndex(), 0);    // the lamp does not follow the beat
    model().settings.FULLFLASHING = false;  // e.g. another settings patch
    key(Qt::Key_F1);
    pump(2);
    EXPECT_NE(w.palette().color(QPalette::Window), QColor(0, 255, 0));
    EXPECT_EQ(w.ShownPictureIndex(), 2);
}

TEST_F(MainWindowTest, FullFlashingSwitchedOnDuringALitBeatLeavesTheLampUnlit) {
    TKorvidMain& w = open();
    openPort1();
    key(Qt::Key_F1);
    tick();
    pump();
    ASSERT_EQ(w.ShownPictureIndex(), 1);   // lit beat
    model().settings.FULLFLASHING = true;  // e.g. a settings patch chosen while running
    std::vector<int> shown;
    for (int tickNo = 2; tickNo <= 30; ++tickNo) {
        tick();
        pump();
        shown.push_back(w.ShownPictureIndex());
    }
    // From the next flash change on, the unlit picture for the rest of the run, lit beats
    // included; the window flashes instead.
    EXPECT_EQ(shown[10], 0);  // tick 12
    EXPECT_EQ(shown.back(), 0);
    EXPECT_EQ(w.palette().color(QPalette::Window), QColor(0, 255, 0));  // tick 30: lit part
}

TEST_F(MainWindowTest, FlashSettingsThatCannotFlashShowTheLitLampWhileRunning) {
    TKorvidMain& w = open();
    openPort1();
    for (const auto& [period, duration] : {std::pair{0, 12}, std::pair{24, -1}}) {
        model().settings.FLASHINGPERIOD = period;
        model().settings.FLASHINGDURATION = duration;
        key(Qt::Key_F1);
        for (int i = 0; i < 30; ++i) {
            tick();
            pump();
            EXPECT_EQ(w.ShownPictureIndex(), 1) << "period " << period << " duration " << duration;
        }
        key(Qt::Key_F1);
        pump(2);
        EXPECT_EQ(w.ShownPictureIndex(), 2);
    }
}

TEST_F(MainWindowTest, ABrokenSkinIsToldOnceByNameAndTheBuiltInLampStays) {
    QImage picture(76, 76, QImage::Format_RGB32);
    picture.fill(QColor(255, 0, 255));
    for (int state : {0, 1, 2, 4})
        ASSERT_TRUE(picture.save(
            QString::fromStdString(folder.file("button_" + std::to_string(state) + ".bmp")),
            "BMP"));
    TKorvidMain& w = open();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith("Skin not loaded: ")) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains(QString::fromStdString(folder.file("button_3.bmp"))))
        << messages[0].toStdString();
    openPort1();
    pump(3);
    EXPECT_EQ(messages.size(), 1);
    // The grey lamp, stopped red lamp ... are the built-in ones, not the magenta skin.
    const ButtonImageLists builtIn;
    EXPECT_EQ(w.MainButtonImage->pixmap().toImage(), builtIn.mainImage(2).toImage());
}

TEST_F(MainWindowTest, TapDisplayCountsUpAndEndsWithTapHere) {
    TKorvidMain& w = open();
    model().SetTapStep(3);
    pump();
    EXPECT_EQ(w.TapButton->text(), "Tap Again");
    pump();
    EXPECT_EQ(status(), "Tap 3 !!");
    model().SetTapStep(4);
    pump();
    EXPECT_EQ(w.TapButton->text(), "Tap Here");
    EXPECT_EQ(model().state.TapStep.load(), 0);
    pump();
    EXPECT_EQ(status(), "Tap 4 !!");
    EXPECT_EQ(statusColor(), QColor(128, 0, 128));
}

TEST_F(MainWindowTest, AFirstStartOpensOurVirtualPortWithoutAWarning) {
    std::filesystem::remove(folder.file("clockpresets.ini"));
    TKorvidMain& w = open();
    pump();
    EXPECT_EQ(w.MIDIOutComboBox1->currentText(), "Memory: Tempovane virtual port");
    EXPECT_EQ(w.MIDIOutComboBox2->currentText(), "None");
    EXPECT_TRUE(model().state.PortReady.load());
    EXPECT_TRUE(messages.isEmpty());
    key(Qt::Key_F1);
    EXPECT_EQ(model().state.RunState.load(), 1);
}

TEST_F(MainWindowTest, TransportKeysWithoutAPortAskForOne) {
    open();
    for (int k : {Qt::Key_F1, Qt::Key_F2, Qt::Key_F3}) {
        model().state.PostStatus("", StatusColors::blue);
        key(k);
        pump();
        EXPECT_EQ(status(), "Choose MIDI Port...");
        EXPECT_EQ(statusColor(), QColor(255, 0, 0));
    }
    window->MainButtonImageMouseDown();  // the lamp does nothing without a port
    EXPECT_EQ(model().state.RunState.load(), 0);
}

TEST_F(MainWindowTest, FunctionKeysRecallAndStorePresetsWhereverTheFocusIs) {
    TKorvidMain& w = open();
    model().settings.F5BPM = 120.5;
    w.MIDIOutDevTypeComboBox1->setFocus();
    key(Qt::Key_F5);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 121.0);  // quantised to whole BPM
    key(Qt::Key_F7);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 140.0);
    pump();
    key(Qt::Key_F5, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(model().settings.F5BPM.load(), 140.0);
    pump();
    EXPECT_EQ(status(), "F5 set to 140 bpm");
    EXPECT_EQ(statusColor(), QColor(0, 0, 255));
}

TEST_F(MainWindowTest, RoundToTickKeysShowThePeriodInTheCaption) {
    TKorvidMain& w = open();
    pump();
    key(Qt::Key_Up, Qt::ControlModifier | Qt::AltModifier);
    pump();
    EXPECT_EQ(model().Timer().Tempo(), 131578u);
    EXPECT_EQ(w.windowTitle(), "19 ms");
    EXPECT_EQ(w.BPMLabel->text(), "131");
    key(Qt::Key_Down, Qt::ControlModifier | Qt::AltModifier);
    pump();
    EXPECT_EQ(w.windowTitle(), "20 ms");
    EXPECT_DOUBLE_EQ(model().GetBPM(), 120.0);  // round to tick leaves the model's tempo alone
}

TEST_F(MainWindowTest, SpaceTapsOnceAndEnterTogglesAndBothReachTheInputMap) {
    TKorvidMain& w = open();
    openPort1();
    w.TapButton->setFocus();
    int clicks = 0;
    QObject::connect(w.TapButton, &QPushButton::clicked, [&] { ++clicks; });
    key(Qt::Key_Space);
    EXPECT_EQ(clicks, 0);                        // the key did not also press the focused button
    EXPECT_EQ(model().state.TapStep.load(), 3);  // one tap: the first of two
    key(Qt::Key_Return);
    EXPECT_EQ(model().state.RunState.load(), 1);
    key(Qt::Key_A);
    EXPECT_EQ(keysToInputMap, (std::vector<int>{32, 13, 65}));

    model().settings.IGNOREKEYBOARDTAP = 1;
    key(Qt::Key_Space);
    key(Qt::Key_Return);
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(model().state.TapStep.load(), 3);
    EXPECT_EQ(model().state.RunState.load(), 1);
    EXPECT_EQ(keysToInputMap, (std::vector<int>{32, 13, 65, 32, 13}));
}

TEST_F(MainWindowTest, WheelMovesTheTempoOneBpmPerNotchWithinTheBar) {
    TKorvidMain& w = open();
    pump();
    wheel(w.TempoTrackBar, 120);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 121.0);
    wheel(w.StatusLabel, -240);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 119.0);
    model().SetBPM(330);
    pump();
    wheel(w.TempoTrackBar, 120);
    pump();
    EXPECT_DOUBLE_EQ(model().GetBPM(), 330.0);
    EXPECT_EQ(w.TempoTrackBar->value(), w.TempoTrackBar->minimum());

    model().settings.IGNOREMOUSEWHEEL = 1;
    wheel(w.TempoTrackBar, -120);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 330.0);
}

TEST_F(MainWindowTest, HeightToggleSwitchesBetweenTheTempoPartAndTheWholeWindow) {
    TKorvidMain& w = open();
    EXPECT_EQ(w.WindowHeight(), 528);
    w.ToggleWindowHeight();
    EXPECT_EQ(w.WindowHeight(), 230);  // down to the track bar's foot
    QTest::mouseClick(w.ShowMoreButton, Qt::LeftButton);
    EXPECT_EQ(w.WindowHeight(), 608);  // down to the Pulse Output box's foot
}

TEST_F(MainWindowTest, CloseAsksAboutSavingUnlessToldNotTo) {
    open();
    answerSave = false;
    window->close();
    EXPECT_EQ(questions, 1);
    EXPECT_EQ(folder.read("clockpresets.ini"), "[APPLICATION_PRESETS]\n");

    open();
    answerSave = true;
    window->close();
    EXPECT_EQ(questions, 2);
    EXPECT_NE(folder.read("clockpresets.ini").find("DEFAULTSPEED=120"), std::string::npos);

    folder.write("clockpresets.ini", "[APPLICATION_PRESETS]\nDONTASKSAVESETTINGS=1\n");
    open();
    window->close();
    EXPECT_EQ(questions, 2);
    EXPECT_EQ(folder.read("clockpresets.ini"), "[APPLICATION_PRESETS]\nDONTASKSAVESETTINGS=1\n");
}

TEST_F(MainWindowTest, ClosingWhileRunningSendsStopAndTheNoteOffsBeforeThePortsClose) {
    // A held hi-hat sounds until something turns it off.
    folder.write("outdrv/Beat.ini",
                 "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\ndevice_tracks_enable=1\n"
                 "[TRACKS]\nHH2A7409X=1111111111111111\n");
    folder.write("clockpresets.ini",
                 "[MIDIOUTPORT1]\nMIDIPORTNAME=Memory: synth\nDEVICETYPE=Beat\n");
    // The save question answered No, answered Yes, and no question at all (SIGTERM).
    for (const int way : {0, 1, 2}) {
        answerSave = way == 1;
        open();
        ASSERT_TRUE(model().state.PortReady.load());
        key(Qt::Key_F1);
        for (int i = 0; i < 12; ++i) ASSERT_TRUE(tick());
        memory->clearMessages();
        if (way == 2)
            window->CloseWithoutQuestions();
        else
            window->close();
        EXPECT_EQ(model().OutPort1(), nullptr) << way;  // closed
        std::vector<std::vector<uint8_t>> sent;
        for (const auto& m : memory->messagesFor("synth")) sent.push_back(m.bytes);
        EXPECT_EQ(sent, (std::vector<std::vector<uint8_t>>{{0xFC}, {0x89, 0x2A, 0x00}})) << way;
    }
    // Stopped, closing sends nothing.
    open();
    memory->clearMessages();
    window->close();
    EXPECT_TRUE(memory->messagesFor("synth").empty());
}

TEST_F(MainWindowTest, CloseWhileRunningOnlyMinimisesWhenSoConfigured) {
    folder.write("clockpresets.ini", "[APPLICATION_PRESETS]\nCLOSEMINIMIZESWHENRUNNING=1\n");
    open();
    openPort1();
    key(Qt::Key_F1);
    EXPECT_FALSE(window->close());
    EXPECT_EQ(questions, 0);
    EXPECT_TRUE(model().Timer().Enabled());
    key(Qt::Key_F1);  // stopped: closing closes
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(model().Timer().Enabled());
    EXPECT_FALSE(window->MIDIInEnable1->isChecked());
}

TEST_F(MainWindowTest, EditButtonsReportAnEditorThatCannotStart) {
    folder.write("outdrv/Tempovane.ini", "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=1\n");
    TKorvidMain& w = open();
    // An own editor that exists but cannot run.
    folder.write("tempovaneeditor", "not a program");
    QFile::setPermissions(QString::fromStdString(folder.file("tempovaneeditor")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    w.EditButtonClick(1);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith("Operation Error!: Could not run program '"));
    // The message names the editor and the file it was to open.
    EXPECT_TRUE(messages[0].endsWith(QString::fromStdString(
        "tempovaneeditor' to edit '" + folder.file("outdrv/Tempovane.ini") + "'")))
        << messages[0].toStdString();
}

TEST_F(MainWindowTest, TrackBarAndThousandthsFieldSetTheTempo) {
    folder.write("clockpresets.ini", "[APPLICATION_PRESETS]\nBPMROUNDING=0.001\nBPMMINIMUM=0\n");
    TKorvidMain& w = open();
    pump();
    ASSERT_TRUE(w.TempoFractionalEdit->isVisibleTo(&w));
    w.TempoFractionalEdit->setValue(-500);  // 120 with -500 thousandths
    EXPECT_DOUBLE_EQ(model().GetBPM(), 119.5);
    pump();
    EXPECT_EQ(w.BPMLabel->text(), "119");
    EXPECT_EQ(w.TempoFractionalEdit->value(), 500);

    w.TempoFractionalEdit->setValue(250);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 119.25);
    w.TempoTrackBar->setValue(w.TempoTrackBar->minimum());  // the top: fastest
    EXPECT_DOUBLE_EQ(model().GetBPM(), 330.25);  // whole BPM from the bar, thousandths kept
    pump();
    w.TempoFractionalEdit->setValue(0);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 330.0);
    pump();
    w.TempoTrackBar->setValue(w.TempoTrackBar->maximum());  // the bottom: 0 BPM, ignored
    EXPECT_DOUBLE_EQ(model().GetBPM(), 330.0);
}

TEST_F(MainWindowTest, ATickAlignedTempoBeyondTheBarSnapsBackToItsEnd) {
    TKorvidMain& w = open();
    model().SetBPM(300);
    pump();
    key(Qt::Key_Up, Qt::ControlModifier | Qt::AltModifier);  // 8.33 ms -> 7 ms: 357.142 BPM
    pump();
    // The bar cannot show 357: it moves to its top, and that move sets the top's tempo.
    EXPECT_EQ(w.TempoTrackBar->value(), w.TempoTrackBar->minimum());
    EXPECT_DOUBLE_EQ(model().GetBPM(), 330.0);
    pump();
    EXPECT_EQ(model().Timer().Tempo(), 330000u);

    // Already at the top, the bar does not move: the label shows the faster tempo, which stays.
    key(Qt::Key_Up, Qt::ControlModifier | Qt::AltModifier);  // 7.58 ms -> 6 ms: 416.666 BPM
    pump(2);
    EXPECT_EQ(w.BPMLabel->text(), "416");
    EXPECT_EQ(model().Timer().Tempo(), 416666u);
}

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <locale>

#include "support/window_rig.h"

namespace {

struct SettingsTest : MainWindowTest {
    // Saves as Ctrl+Alt+S does, a pump pass after the last change (the clock takes a new tempo
    // at the pump, and DEFAULTSPEED is the tempo the clock runs at).
    std::string saved() {
        pump();
        window->RunCommand("SaveSettings");
        pump(2);
        return folder.read("clockpresets.ini");
    }
    static bool has(const std::string& text, const std::string& line) {
        return text.find(line + "\n") != std::string::npos;
    }
};

// Numbers written with a comma, as a German desktop would.
struct CommaDecimals : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

}  // namespace

TEST_F(SettingsTest, NoFileGivesTheDefaults) {
    std::filesystem::remove(folder.file("clockpresets.ini"));
    TKorvidMain& w = open();
    pump();
    EXPECT_EQ(w.TempoTrackBar->minimum(), 0);
    EXPECT_EQ(w.TempoTrackBar->maximum(), 330);
    EXPECT_EQ(w.BPMLabel->text(), "120");
    EXPECT_FALSE(w.TempoFractionalEdit->isVisibleTo(&w));
    EXPECT_EQ(w.WindowHeight(), 528);
    EXPECT_EQ(w.pos(), QPoint(343, 226));
}

TEST_F(SettingsTest, TheCeilingAndRoundingRulesApplyWhenRead) {
    folder.write("clockpresets.ini",
                 "[APPLICATION_PRESETS]\nBPMMAXIMUM=3000\nBPMROUNDING=0.25\nIGNOREMOUSEWHEEL=7\n"
                 "DEFAULTSPEED=140.3\n");
    TKorvidMain& w = open();
    pump();
    EXPECT_EQ(model().settings.BPMMAXIMUM.load(), 2500);
    EXPECT_EQ(w.TempoTrackBar->maximum(), 2500);
    EXPECT_TRUE(w.TempoFractionalEdit->isVisibleTo(&w));
    EXPECT_EQ(w.TempoFractionalEdit->singleStep(), 250);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 140.25);
    EXPECT_NE(model().settings.IGNOREMOUSEWHEEL.load(), 0);
    const std::string file = saved();
    EXPECT_TRUE(has(file, "BPMMAXIMUM=2500"));
    EXPECT_TRUE(has(file, "IGNOREMOUSEWHEEL=1"));
    EXPECT_TRUE(has(file, "BPMROUNDING=0.25")) << file;
    EXPECT_TRUE(has(file, "DEFAULTSPEED=140.25"));
}

TEST_F(SettingsTest, ValuesThatWouldBreakTheProgramAreMadeHarmless) {
    folder.write("clockpresets.ini",
                 "[APPLICATION_PRESETS]\nBPMMINIMUM=400\nBPMMAXIMUM=200\nBPMROUNDING=0\n"
                 "FLASHINGPERIOD=0\nMAINSCREENPOSITIONLEFT=-30000\nMAINSCREENPOSITIONTOP=90000\n");
    TKorvidMain& w = open();
    pump();
    EXPECT_EQ(model().settings.BPMMINIMUM.load(), 200);
    EXPECT_EQ(model().settings.BPMMAXIMUM.load(), 400);
    EXPECT_EQ(w.TempoTrackBar->minimum(), 200);
    EXPECT_EQ(w.TempoTrackBar->maximum(), 400);
    model().SetBPM(250.1234);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 250.123);  // rounding 0 counts as 0.001
    EXPECT_TRUE(w.screen()->availableGeometry().intersects(w.frameGeometry()));
    openPort1();
    key(Qt::Key_F1);
    for (int i = 0; i < 50; ++i) tick();  // a flash period of 0 must not divide by zero
    EXPECT_EQ(model().state.TickCount.load(), 50);
}

TEST_F(SettingsTest, ADefaultSpeedIsSavedAsTheTempoTheClockRuns) {
    open();
    pump();
    key(Qt::Key_Up, Qt::ControlModifier | Qt::AltModifier);
    pump();
    EXPECT_TRUE(has(saved(), "DEFAULTSPEED=131.578"));
    EXPECT_EQ(status(), "Settings Saved");
    EXPECT_EQ(statusColor(), QColor(0, 128, 0));
}

TEST_F(SettingsTest, SavingKeepsForeignContentAndIsRepeatable) {
    folder.write("clockpresets.ini",
                 "; my stage rig\n[APPLICATION_PRESETS]\nSHOWFLASHING=0\nMYOWNKEY=keep me\n"
                 "[APPLICATIONPRESETS]\nOLD=1\n[BPMPRESETS]\nF5BPM=1\n[notes]\nsong=Intro\n");
    open();
    const std::string first = saved();
    const std::string second = saved();
    EXPECT_EQ(first, second);
    EXPECT_NE(first.find("; my stage rig"), std::string::npos);
    EXPECT_TRUE(has(first, "MYOWNKEY=keep me"));
    EXPECT_TRUE(has(first, "song=Intro"));
    EXPECT_TRUE(has(first, "SHOWFLASHING=0"));
    EXPECT_EQ(first.find("[APPLICATIONPRESETS]"), std::string::npos);
    EXPECT_EQ(first.find("[BPMPRESETS]"), std::string::npos);
    EXPECT_TRUE(has(first, "[MIDIOUTPORT1]"));
    EXPECT_TRUE(has(first, "MIDIPORTNAME=None"));
    EXPECT_TRUE(has(first, "F8BPM=160"));
}

// The user's own notes in the settings file, as the window's save leaves them: every line as
// it was, in its place, repeats and odd lines included.
TEST_F(SettingsTest, ASaveLeavesTheUsersOwnSectionsByteForByte) {
    const std::string notes =
        "[NOTES]\r\n"
        "setlist=opener\r\n"
        "setlist=encore\r\n"
        "Gig=Friday\r\n"
        "GIG=Saturday\r\n"
        "bring spare cables\r\n"
        "intro=slow \\\r\n"
        "   then fast\r\n"
        "[notes]\r\n"
        "second=section\r\n";
    folder.write("clockpresets.ini",
                 "[APPLICATION_PRESETS]\r\nSHOWFLASHING=0\r\n\r\n" + notes + "; the end\r\n");
    open();
    const std::string file = saved();
    EXPECT_NE(file.find("\r\n\r\n" + notes), std::string::npos) << file;
    EXPECT_TRUE(file.starts_with("[APPLICATION_PRESETS]\r\nSHOWFLASHING=0\r\n")) << file;
    EXPECT_TRUE(file.ends_with("; the end\r\n")) << file;
    EXPECT_EQ(file.find("\n\n"), std::string::npos);  // every new line ends as the file's do
}

// Numbers no tempo can be: ignored when read, so the window neither hangs on a track bar over
// the whole int range nor saves them back.
TEST_F(SettingsTest, NumbersOutOfRangeAreIgnoredAndNotSavedBack) {
    folder.write("clockpresets.ini",
                 "[APPLICATION_PRESETS]\nBPMMINIMUM=-1e308\nBPMMAXIMUM=1e308\n"
                 "TAPTEMPOCOUNT=-2147483648\n[BPM_PRESETS]\nF5BPM=1e308\n");
    TKorvidMain& w = open();
    pump();
    EXPECT_EQ(w.TempoTrackBar->minimum(), 0);
    EXPECT_EQ(w.TempoTrackBar->maximum(), 2500);  // a huge maximum is the ceiling
    EXPECT_EQ(model().settings.TAPTEMPOCOUNT.load(), 2);
    key(Qt::Key_F5);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 100);
    const std::string file = saved();
    EXPECT_TRUE(has(file, "BPMMINIMUM=0.001")) << file;
    EXPECT_TRUE(has(file, "TAPTEMPOCOUNT=2"));
    EXPECT_TRUE(has(file, "F5BPM=100"));
    EXPECT_EQ(file.find("e308"), std::string::npos);
}

TEST_F(SettingsTest, TheSettingsRoundTripThroughTheFile) {
    folder.write("clockpresets.ini",
                 "[APPLICATION_PRESETS]\nBPMROUNDING=0.001\n[BPM_PRESETS]\nF6BPM=98.765\n");
    open();
    openPort1();
    SelectByName(model().out1Controls.divider, "4");
    model().OutPort1()->DividerChanged();
    key(Qt::Key_F6);
    model().settings.TAPTEMPOCOUNT = 3;
    const std::string before = saved();
    window->close();

    open();
    pump();
    EXPECT_DOUBLE_EQ(model().GetBPM(), 98.765);
    EXPECT_EQ(model().settings.TAPTEMPOCOUNT.load(), 3);
    EXPECT_EQ(window->MIDIOutComboBox1->currentText(), "Memory: synth");
    EXPECT_EQ(model().OutPort1()->Divider(), 4);
    EXPECT_TRUE(model().state.PortReady.load());
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_EQ(saved(), before);  // nothing changed: the same bytes
}

TEST_F(SettingsTest, AFileNamedOnTheCommandLineIsReadAndWritten) {
    folder.write("elsewhere/stage.ini", "[BPM_PRESETS]\nF5BPM=77\n");
    const std::string own = folder.read("clockpresets.ini");
    open(QString::fromStdString(folder.file("elsewhere/stage.ini")));
    key(Qt::Key_F5);
    EXPECT_DOUBLE_EQ(model().GetBPM(), 77.0);
    pump();
    window->RunCommand("SaveSettings2");
    EXPECT_NE(folder.read("elsewhere/stage.ini").find("DEFAULTSPEED=77"), std::string::npos);
    EXPECT_EQ(folder.read("clockpresets.ini"), own);
}

TEST_F(SettingsTest, AForeignLocaleChangesNothing) {
    folder.write("clockpresets.ini", "[APPLICATION_PRESETS]\nBPMROUNDING=0.5\nDEFAULTSPEED=99.5\n");
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new CommaDecimals));
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    open();
    pump();
    EXPECT_DOUBLE_EQ(model().GetBPM(), 99.5);
    const std::string file = saved();
    std::locale::global(previous);
    EXPECT_TRUE(has(file, "DEFAULTSPEED=99.5"));
    EXPECT_TRUE(has(file, "BPMROUNDING=0.5"));
    EXPECT_TRUE(has(file, "BPMMINIMUM=0.001"));
}

TEST_F(SettingsTest, AFailedSaveSaysSoAndKeepsTheOldFile) {
    const std::string old =
        "[APPLICATION_PRESETS]\nDEFAULTSPEED=100\n" + std::string(200, ';') + "\n";
    folder.write("clockpresets.ini", old);
    open();
    // A file-size limit makes writing fail for every user, root included (a full disk).
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = previous;
    tiny.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &tiny);
    window->RunCommand("SaveSettings");
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);
    pump(2);
    EXPECT_TRUE(status().startsWith("Settings not saved: ")) << status().toStdString();
    EXPECT_EQ(statusColor(), QColor(255, 0, 0));
    EXPECT_EQ(folder.read("clockpresets.ini"), old);
}

TEST_F(SettingsTest, MissingSavedPortsAreReportedOnce) {
    folder.write(
        "clockpresets.ini",
        "[MIDIOUTPORT1]\nMIDIPORTINDEX=1\nMIDIPORTNAME=Memory: gone\n"
        "[MIDIOUTPORT2]\nMIDIPORTINDEX=2\nMIDIPORTNAME=Memory: drums\nDEVICETYPE=Tempovane\n");
    open();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0], "Warning: Warning : \n Saved ports not found : \nMemory: gone");
    EXPECT_EQ(window->MIDIOutComboBox1->currentText(), "None");
    EXPECT_EQ(window->MIDIOutComboBox2->currentText(), "Memory: drums");
}

TEST_F(SettingsTest, BothSaveShortcutsWriteTheFile) {
    open();
    pump();
    key(Qt::Key_S, Qt::ControlModifier);
    EXPECT_NE(folder.read("clockpresets.ini").find("DEFAULTSPEED=120"), std::string::npos);
    std::filesystem::remove(folder.file("clockpresets.ini"));
    window->MIDIOutComboBox2->setFocus();
    key(Qt::Key_S, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_NE(folder.read("clockpresets.ini").find("[MIDIOUTPORT2]"), std::string::npos);
    pump();
    EXPECT_EQ(status(), "Settings Saved");
}

TEST_F(SettingsTest, StayOnTopFollowsTheSetting) {
    folder.write("clockpresets.ini", "[APPLICATION_PRESETS]\nALWAYSONTOP=1\n");
    open();
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
}

// The settings file's location and the tempo limits read from it, without any window.
#include <gtest/gtest.h>

#include "app/settings_file.h"
#include "platform/ini_file.h"
#include "state/app_settings.h"

namespace {

IniFile WithTempoLimits(double minimum, double maximum) {
    IniFile file;
    file.writeFloat(SettingsFile::kApplicationSection, "BPMMINIMUM", minimum);
    file.writeFloat(SettingsFile::kApplicationSection, "BPMMAXIMUM", maximum);
    return file;
}

}  // namespace

TEST(SettingsFileLocation, ProgramFolderWithOrWithoutTrailingSeparator) {
    EXPECT_EQ(SettingsFile::Location("/usr/bin/", ""), "/usr/bin/clockpresets.ini");
    EXPECT_EQ(SettingsFile::Location("/usr/bin", ""), "/usr/bin/clockpresets.ini");
    EXPECT_EQ(SettingsFile::Location("/", ""), "/clockpresets.ini");
    // No folder known: the current one.
    EXPECT_EQ(SettingsFile::Location("", ""), "clockpresets.ini");
}

TEST(SettingsFileLocation, AFirstArgumentNamesTheFileItself) {
    EXPECT_EQ(SettingsFile::Location("/usr/bin", "/home/me/live.ini"), "/home/me/live.ini");
    EXPECT_EQ(SettingsFile::Location("/usr/bin", "relative.ini"), "relative.ini");
}

TEST(SettingsFileTempoLimits, KeptWhenSensible) {
    AppSettings settings;
    SettingsFile::ReadWindowAndTempo(WithTempoLimits(40, 2000), settings);
    EXPECT_DOUBLE_EQ(settings.BPMMINIMUM.load(), 40);
    EXPECT_DOUBLE_EQ(settings.BPMMAXIMUM.load(), 2000);
    SettingsFile::ReadWindowAndTempo(WithTempoLimits(1, 2500), settings);
    EXPECT_DOUBLE_EQ(settings.BPMMAXIMUM.load(), 2500);  // the ceiling itself is allowed
}

TEST(SettingsFileTempoLimits, AMaximumAboveTheCeilingBecomesTheCeiling) {
    AppSettings settings;
    SettingsFile::ReadWindowAndTempo(WithTempoLimits(20, 2500.5), settings);
    EXPECT_DOUBLE_EQ(settings.BPMMAXIMUM.load(), 2500);
    SettingsFile::ReadWindowAndTempo(WithTempoLimits(20, 99999), settings);
    EXPECT_DOUBLE_EQ(settings.BPMMAXIMUM.load(), 2500);
    EXPECT_DOUBLE_EQ(settings.BPMMINIMUM.load(), 20);
}

TEST(SettingsFileTempoLimits, SwappedLimitsAreTakenTheRightWayRound) {
    AppSettings settings;
    SettingsFile::ReadWindowAndTempo(WithTempoLimits(300, 60), settings);
    EXPECT_DOUBLE_EQ(settings.BPMMINIMUM.load(), 60);
    EXPECT_DOUBLE_EQ(settings.BPMMAXIMUM.load(), 300);
    // A swapped pair whose larger value is beyond the ceiling still ends within it.
    SettingsFile::ReadWindowAndTempo(WithTempoLimits(9000, 100), settings);
    EXPECT_DOUBLE_EQ(settings.BPMMINIMUM.load(), 100);
    EXPECT_DOUBLE_EQ(settings.BPMMAXIMUM.load(), 2500);
}

// Numbers a program cannot use, as a hand edit or a broken tool writes them: each leaves the
// value held, and a save writes that value back instead of the bad one.
TEST(SettingsFileNumbers, OutOfRangeValuesLeaveTheValueHeldAndAreNotSavedBack) {
    IniFile file;
    ASSERT_TRUE(
        file.loadText("[APPLICATION_PRESETS]\n"
                      "BPMMINIMUM=-1e308\nBPMMAXIMUM=-4\nBPMROUNDING=-1\n"
                      "TAPTEMPOCOUNT=-2147483648\nTAPTEMPOTIMEOUT=0\nFLASHINGPERIOD=-24\n"
                      "[BPM_PRESETS]\nF5BPM=1e308\nF6BPM=-120\nF7BPM=2500.5\n"
                      "[LINK]\nQUANTUM=-1e308\n"));
    AppSettings settings;
    SettingsFile::ReadWindowAndTempo(file, settings);
    SettingsFile::ReadOptions(file, settings);
    const AppSettings defaults;
    EXPECT_EQ(settings.BPMMINIMUM.load(), defaults.BPMMINIMUM.load());
    EXPECT_EQ(settings.BPMMAXIMUM.load(), defaults.BPMMAXIMUM.load());
    EXPECT_EQ(settings.BPMROUNDING.load(), defaults.BPMROUNDING.load());
    EXPECT_EQ(settings.TAPTEMPOCOUNT.load(), 2);
    EXPECT_EQ(settings.TAPTEMPOTIMEOUT.load(), 5000);
    EXPECT_EQ(settings.FLASHINGPERIOD.load(), 24);
    EXPECT_EQ(settings.F5BPM.load(), 100);
    EXPECT_EQ(settings.F6BPM.load(), 120);
    EXPECT_EQ(settings.F7BPM.load(), 140);
    EXPECT_EQ(settings.LINKQUANTUM.load(), 4);

    SettingsFile::WriteWindowAndTempo(file, settings, 120);
    SettingsFile::WriteOptions(file, settings);
    const std::string text = file.text();
    for (const char* line : {"BPMMINIMUM=0.001\n", "TAPTEMPOCOUNT=2\n", "F5BPM=100\n",
                             "QUANTUM=4\n", "FLASHINGPERIOD=24\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("e308"), std::string::npos);
}

TEST(SettingsFileNumbers, TheEdgesOfEachRangeAreTaken) {
    IniFile file;
    ASSERT_TRUE(
        file.loadText("[APPLICATION_PRESETS]\n"
                      "BPMMINIMUM=0\nBPMMAXIMUM=0.001\nBPMROUNDING=2500\n"
                      "TAPTEMPOCOUNT=4\nTAPTEMPOTIMEOUT=1\nFLASHINGPERIOD=0\n"
                      "FLASHINGDURATION=-5\n"
                      "[BPM_PRESETS]\nF5BPM=2500\nF6BPM=0\n[LINK]\nQUANTUM=1000\n"));
    AppSettings settings;
    SettingsFile::ReadWindowAndTempo(file, settings);
    SettingsFile::ReadOptions(file, settings);
    EXPECT_EQ(settings.BPMMINIMUM.load(), 0);
    EXPECT_EQ(settings.BPMMAXIMUM.load(), 0.001);
    EXPECT_EQ(settings.BPMROUNDING.load(), 2500);
    EXPECT_EQ(settings.TAPTEMPOCOUNT.load(), 4);
    EXPECT_EQ(settings.TAPTEMPOTIMEOUT.load(), 1);
    EXPECT_EQ(settings.FLASHINGPERIOD.load(), 0);  // no flashing
    EXPECT_EQ(settings.FLASHINGDURATION.load(), -5);
    EXPECT_EQ(settings.F5BPM.load(), 2500);
    EXPECT_EQ(settings.F6BPM.load(), 0);
    EXPECT_EQ(settings.LINKQUANTUM.load(), 1000);
    ASSERT_TRUE(file.loadText("[APPLICATION_PRESETS]\nTAPTEMPOCOUNT=5\n[LINK]\nQUANTUM=0.5\n"));
    SettingsFile::ReadOptions(file, settings);
    EXPECT_EQ(settings.TAPTEMPOCOUNT.load(), 4);
    EXPECT_EQ(settings.LINKQUANTUM.load(), 1000);
}

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

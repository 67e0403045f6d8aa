#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "app/settings_file.h"
#include "midiout/pulse_output.h"
#include "platform/ini_file.h"
#include "support/model_rig.h"

namespace {

IniFile Parse(TempFolder& folder, const std::string& text) {
    folder.write("settings.ini", text);
    IniFile file;
    EXPECT_TRUE(file.load(folder.file("settings.ini")));
    return file;
}

const char* const kBothMissing =
    "[MIDIOUTPORT1]\nMIDIPORTINDEX=3\nMIDIPORTNAME=Memory: gone\n"
    "[MIDIOUTPORT2]\nMIDIPORTINDEX=4\nMIDIPORTNAME=Memory: away\n";

}  // namespace

TEST(SettingsFilePorts, MissingPortsAreNamedOneALine) {
    ModelRig rig;
    const IniFile file = Parse(rig.folder, kBothMissing);
    EXPECT_EQ(SettingsFile::LoadPorts(file, *rig.model), "Memory: gone\nMemory: away");
    EXPECT_EQ(rig.model->out1Controls.port.text(), "None");
}

TEST(SettingsFilePorts, APortThatIsNoneOnlyBecauseItsDeviceWasMissingKeepsItsSavedName) {
    ModelRig rig;
    SettingsFile::LoadPorts(Parse(rig.folder, kBothMissing), *rig.model);
    rig.openPort2("drums");  // the user picks another device for port 2 only

    IniFile out;
    SettingsFile::WritePorts(out, *rig.model);
    EXPECT_EQ(out.readString("MIDIOUTPORT1", "MIDIPORTNAME", ""), "Memory: gone");
    EXPECT_EQ(out.readInt("MIDIOUTPORT1", "MIDIPORTINDEX", 0), 3);
    EXPECT_EQ(out.readString("MIDIOUTPORT2", "MIDIPORTNAME", ""), "Memory: drums");
    EXPECT_EQ(out.readInt("MIDIOUTPORT2", "MIDIPORTINDEX", 0), 2);  // after our virtual port

    // Next evening the synth is back: the saved name finds it.
    ModelRig later({"synth", "drums", "gone"});
    out.save(later.folder.file("settings.ini"));
    IniFile reread;
    ASSERT_TRUE(reread.load(later.folder.file("settings.ini")));
    EXPECT_EQ(SettingsFile::LoadPorts(reread, *later.model), "");
    EXPECT_EQ(later.model->out1Controls.port.text(), "Memory: gone");
}

TEST(SettingsFilePorts, OnceAnotherDeviceIsOpenedTheMissingOneIsLetGo) {
    ModelRig rig;
    SettingsFile::LoadPorts(Parse(rig.folder, kBothMissing), *rig.model);
    rig.openPort1("synth");
    // Back to "None" by choice: nothing of the missing device remains.
    SelectByName(rig.model->out1Controls.port, "None");
    rig.port1().OpenSelectedPort();
    IniFile out;
    SettingsFile::WritePorts(out, *rig.model);
    EXPECT_EQ(out.readString("MIDIOUTPORT1", "MIDIPORTNAME", ""), "None");
    EXPECT_EQ(out.readInt("MIDIOUTPORT1", "MIDIPORTINDEX", 0), 3);
}

TEST(SettingsFileProblems, ReasonsAreShortAndTheDetailTellsTheWholeStory) {
    // Failures as the system really reports them.
    TempFolder folder;
    IniFile file;
    std::string reason;
    int number = 0;
    const std::string inMissingFolder = folder.file("gone/clockpresets.ini");
    ASSERT_FALSE(file.save(inMissingFolder, &reason, &number));
    const SettingsFile::Problem missing =
        SettingsFile::SaveProblem(inMissingFolder, number, reason);
    EXPECT_EQ(missing.text, "Settings not saved: folder is missing");
    EXPECT_EQ(missing.detail, "Settings not saved: could not write " + inMissingFolder + ": " +
                                  std::generic_category().message(ENOENT));

    std::filesystem::create_directories(folder.file("clockpresets.ini"));
    ASSERT_FALSE(file.load(folder.file("clockpresets.ini"), &reason, &number));
    EXPECT_EQ(number, EISDIR);
    EXPECT_EQ(SettingsFile::SaveProblem(folder.file("clockpresets.ini"), number, reason, true).text,
              "Settings not saved: path is a folder");
    EXPECT_EQ(SettingsFile::ReadProblem("x", number, reason).text,
              "Settings not read: path is a folder");

    // A read-only folder (root cannot meet one, so the number stands in for it).
    EXPECT_EQ(SettingsFile::SaveProblem("/etc/x.ini", EACCES, "Permission denied").text,
              "Settings not saved: folder is read-only");
    EXPECT_EQ(SettingsFile::SaveProblem("/x.ini", ENOSPC, "No space left on device").text,
              "Settings not saved: disk is full");
    // A reason without a short form keeps the system's words.
    EXPECT_EQ(SettingsFile::ShortFileReason(0, true, "Odd failure"), "odd failure");
}

TEST(SettingsFilePorts, PulseOutputsAreReadCheckedAndWrittenBack) {
    ModelRig rig;
    // Output 1 for a Volca, output 2 the run line; the values no output can take are left out,
    // and a key of another version stays in the file.
    IniFile file = Parse(rig.folder,
                         "[PULSEOUT1]\nENABLED=1\nPPQ=2\nWIDTH=7.5\nLEVEL=0.8\nPOLARITY=-1\n"
                         "SHIFT=-12\nRUN=1\nFUTURE=yes\n"
                         "[PULSEOUT2]\nENABLED=1\nPPQ=3\nWIDTH=0\nLEVEL=1.5\nPOLARITY=2\n"
                         "SHIFT=51\nRUN=1\n");
    SettingsFile::ReadPulseOutputs(file, *rig.model);
    PulseOutputs& pulses = *rig.model->Pulses();
    const PulseOutputSettings one = pulses.Settings(1);
    EXPECT_TRUE(one.enabled);
    EXPECT_EQ(one.ppq, 2);
    EXPECT_EQ(one.widthMs, 7.5);
    EXPECT_DOUBLE_EQ(one.level, 0.8);
    EXPECT_TRUE(one.inverted);
    EXPECT_EQ(one.shiftMs, -12);
    EXPECT_FALSE(one.run) << "only output 2 is a run line";
    EXPECT_TRUE(pulses.IsOpen(1));
    const PulseOutputSettings two = pulses.Settings(2);
    const PulseOutputSettings defaults;
    EXPECT_EQ(two.ppq, defaults.ppq);
    EXPECT_EQ(two.widthMs, defaults.widthMs);
    EXPECT_EQ(two.level, defaults.level);
    EXPECT_FALSE(two.inverted);
    EXPECT_EQ(two.shiftMs, defaults.shiftMs);
    EXPECT_TRUE(two.run);

    SettingsFile::WritePorts(file, *rig.model);
    EXPECT_EQ(file.readString("PULSEOUT1", "FUTURE", ""), "yes");
    EXPECT_EQ(file.readInt("PULSEOUT2", "PPQ", 0), defaults.ppq);
    EXPECT_EQ(file.readInt("PULSEOUT1", "POLARITY", 0), -1);
    ModelRig later;
    SettingsFile::ReadPulseOutputs(file, *later.model);
    EXPECT_EQ(later.model->Pulses()->Settings(1), one);
    EXPECT_EQ(later.model->Pulses()->Settings(2), two);
}

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "app/settings_file.h"
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

// Definitions searched in two folders: the user's own first, then those shipped with the program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "midiin/input_definition.h"
#include "midiin/midi_in_port.h"
#include "midiout/device_definition.h"
#include "state/definition_files.h"
#include "support/model_rig.h"

TEST(DefinitionFolders, TypesOfBothFoldersAreListedOnceAndTheUsersFileWins) {
    TempFolder user, shipped;
    shipped.write("Clock only.ini", "[DEVICECONFIGURATION]\ndevice_description=shipped\n");
    shipped.write("Delay.ini", "[DEVICECONFIGURATION]\n");
    user.write("Clock only.ini", "[DEVICECONFIGURATION]\ndevice_description=mine\n");
    user.write("Mine.INI", "[DEVICECONFIGURATION]\n");

    const std::vector<std::string> types = ListOutputDeviceTypes({user.path(), shipped.path()});
    EXPECT_EQ(types, (std::vector<std::string>{"Clock only", "Delay", "Mine", "Tempovane"}));

    EXPECT_EQ(DefinitionFilePath({user.path(), shipped.path()}, "Clock only"),
              user.file("Clock only.ini"));
    EXPECT_EQ(DefinitionFilePath({user.path(), shipped.path()}, "Delay"),
              shipped.file("Delay.ini"));
    EXPECT_EQ(DefinitionFilePath({user.path(), shipped.path()}, "Mine"), user.file("Mine.INI"));
    // A type nobody has would be made in the user's folder.
    EXPECT_EQ(DefinitionFilePath({user.path(), shipped.path()}, "New"), user.path() + "New.ini");
    // No shipped folder (run in place): only the one folder.
    EXPECT_EQ(ListOutputDeviceTypes({user.path(), ""}),
              (std::vector<std::string>{"Clock only", "Mine", "Tempovane"}));
}

TEST(DefinitionFolders, MissingUserFolderStillListsTheShippedOnes) {
    TempFolder shipped;
    shipped.write("FootController.ini", "");
    EXPECT_EQ(ListInputDeviceTypes({"/no/such/folder/", shipped.path()}),
              (std::vector<std::string>{"FootController", "Default"}));
    EXPECT_EQ(ListOutputDeviceTypes({"/no/such/folder/", shipped.path()}),
              (std::vector<std::string>{"FootController", "Tempovane"}));
}

TEST(DefinitionFolders, OnlyRegularFilesAreTypes) {
    TempFolder user, elsewhere;
    user.write("Real.ini", "[DEVICECONFIGURATION]\n");
    elsewhere.write("Kept elsewhere.ini", "[DEVICECONFIGURATION]\n");
    std::filesystem::create_symlink(elsewhere.file("Kept elsewhere.ini"), user.file("Linked.ini"));
    ASSERT_EQ(::mkfifo(user.file("Pipe.ini").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", user.file("Zero.ini"));
    std::filesystem::create_directory(user.file("Folder.ini"));
    EXPECT_EQ(ListOutputDeviceTypes(user.path()),
              (std::vector<std::string>{"Linked", "Real", "Tempovane"}));
    EXPECT_EQ(ListInputDeviceTypes(user.path()),
              (std::vector<std::string>{"Linked", "Real", "Default"}));
    // Nor is such a file found for a type of its name: the type has no file.
    EXPECT_EQ(DefinitionFilePath(user.path(), "Pipe"), user.path() + "Pipe.ini");
    EXPECT_EQ(FindDefinitionFile(user.path(), "Zero"), "");
}

TEST(DefinitionFolders, PortsReadShippedDefinitionsAndPreferTheUsersCopy) {
    ModelRig rig;
    TempFolder shipped, userInput, shippedInput;
    shipped.write("Slow.ini", "[DEVICECONFIGURATION]\ndevice_description=shipped slow\n");
    rig.port1().SetShippedDefinitionFolder(shipped.path());
    rig.relistTypes();
    ModelRig::chooseType(rig.model->out1Controls, rig.port1(), "Slow");
    EXPECT_EQ(rig.port1().DefinitionFile(), shipped.file("Slow.ini"));
    rig.writeDefinition("Slow", "[DEVICECONFIGURATION]\ndevice_description=my slow\n");
    rig.relistTypes();
    ModelRig::chooseType(rig.model->out1Controls, rig.port1(), "Tempovane");
    ModelRig::chooseType(rig.model->out1Controls, rig.port1(), "Slow");
    EXPECT_EQ(rig.port1().DefinitionFile(), rig.folder.file("outdrv/Slow.ini"));

    // The input map: a shipped map is read; the user's own of the same name replaces it.
    shippedInput.write("Keys.ini", "[SPECIAL_COMMANDS]\nINPUT0=B00700\nACTION0=10001\n");
    rig.model->CreateInPort(userInput.path(), shippedInput.path());
    MidiInPort& in = *rig.model->InPort();
    ASSERT_TRUE(SelectByName(rig.model->inControls.deviceType, "Keys"));
    in.DeviceTypeChanged();
    EXPECT_EQ(in.DefinitionPath(), shippedInput.file("Keys.ini"));
    EXPECT_EQ(in.Map().InputCodes[0], 0xB00700);

    userInput.write("Keys.ini", "[SPECIAL_COMMANDS]\nINPUT0=B00800\nACTION0=10001\n");
    ASSERT_TRUE(SelectByName(rig.model->inControls.deviceType, "Default"));
    in.DeviceTypeChanged();
    ASSERT_TRUE(SelectByName(rig.model->inControls.deviceType, "Keys"));
    in.DeviceTypeChanged();
    EXPECT_EQ(in.DefinitionPath(), userInput.file("Keys.ini"));
    EXPECT_EQ(in.Map().InputCodes[0], 0xB00800);
    EXPECT_EQ(in.InputFolder(), userInput.path());  // saves go to the user's folder
}

#include <gtest/gtest.h>

#include <QFile>
#include <filesystem>

#include "midiout/device_definition.h"
#include "support/window_rig.h"

namespace {
struct EditDefinitionTest : MainWindowTest {
    // An own editor that notes which file it was given.
    void installRecordingEditor() {
        folder.write("tempovaneeditor",
                     "#!/bin/sh\nprintf '%s' \"$1\" > '" + folder.file("edited") +
                         ".tmp'\n"
                         "mv '" +
                         folder.file("edited") + ".tmp' '" + folder.file("edited") + "'\n");
        QFile::setPermissions(QString::fromStdString(folder.file("tempovaneeditor")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    std::string editedFile() {
        const bool done = QTest::qWaitFor(
            [this] { return std::filesystem::exists(folder.file("edited")); }, 10000);
        return done ? folder.read("edited") : std::string("(editor not started)");
    }
};

// Runs the test from another folder, as a user starting the program from a terminal does.
struct CurrentFolder {
    std::filesystem::path before = std::filesystem::current_path();
    explicit CurrentFolder(const std::string& path) { std::filesystem::current_path(path); }
    ~CurrentFolder() { std::filesystem::current_path(before); }
};
}  // namespace

TEST_F(EditDefinitionTest, TheBuiltInTypeOffersAFileMadeFromItsSettings) {
    installRecordingEditor();
    TKorvidMain& w = open();
    const std::string path = folder.file("outdrv/Tempovane.ini");
    answerQuestion = false;
    w.EditButtonClick(1);
    ASSERT_EQ(askedQuestions.size(), 1);  // never silently nothing
    EXPECT_TRUE(askedQuestions[0].contains(QString::fromStdString(path)));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(messages.isEmpty());

    answerQuestion = true;
    w.EditButtonClick(2);
    EXPECT_EQ(askedQuestions.size(), 2);
    EXPECT_EQ(editedFile(), path);
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_TRUE(ReadOutputDeviceDefinition(path).clockOutputEnable);
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(EditDefinitionTest, EditOpensTheFileThatWasReadWhereverTheProgramStarted) {
    installRecordingEditor();
    TempFolder startedIn;
    folder.write("outdrv/Special.ini", "[DEVICECONFIGURATION]\ndevice_description=program's\n");
    startedIn.write("outdrv/Special.ini", "[DEVICECONFIGURATION]\ndevice_description=in use\n");
    folder.write("clockpresets.ini", "[MIDIOUTPORT1]\nDEVICETYPE=Special\n");
    const CurrentFolder cd(startedIn.path());
    definitionFolder = "outdrv/";
    TKorvidMain& w = open();
    ASSERT_EQ(model().OutPort1()->Definition().description, "in use");
    w.EditButtonClick(1);
    EXPECT_EQ(editedFile(), startedIn.file("outdrv/Special.ini"));
    EXPECT_TRUE(askedQuestions.isEmpty());
}

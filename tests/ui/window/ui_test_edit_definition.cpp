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

TEST_F(EditDefinitionTest, AShippedDefinitionIsCopiedToTheUsersFolderAndTheCopyOpened) {
    installRecordingEditor();
    TempFolder shipped;
    const std::string text =
        "; shipped with the program\n[DEVICECONFIGURATION]\n"
        "device_description=shipped slow\ndevice_output_delay_ms=3\n";
    shipped.write("Slow.ini", text);
    folder.write("clockpresets.ini", "[MIDIOUTPORT1]\nDEVICETYPE=Slow\n");
    shippedOutputFolder = QString::fromStdString(shipped.path());
    TKorvidMain& w = open();
    ASSERT_EQ(model().OutPort1()->DefinitionFile(), shipped.file("Slow.ini"));
    w.EditButtonClick(1);
    const std::string copy = folder.file("outdrv/Slow.ini");
    EXPECT_EQ(editedFile(), copy);
    EXPECT_EQ(folder.read("outdrv/Slow.ini"), text);  // byte for byte, comments included
    EXPECT_EQ(shipped.read("Slow.ini"), text);
    EXPECT_EQ(model().OutPort1()->DefinitionFile(), copy);
    EXPECT_EQ(model().OutPort1()->Definition().description, "shipped slow");  // nothing reread
    EXPECT_TRUE(messages.isEmpty());

    // The user's changes to the copy stay: a second Edit opens it again without copying.
    folder.write("outdrv/Slow.ini", "[DEVICECONFIGURATION]\ndevice_description=mine\n");
    std::filesystem::remove(folder.file("edited"));
    w.EditButtonClick(1);
    EXPECT_EQ(editedFile(), copy);
    EXPECT_EQ(folder.read("outdrv/Slow.ini"), "[DEVICECONFIGURATION]\ndevice_description=mine\n");
}

TEST_F(EditDefinitionTest, ACopyThatCannotBeMadeIsToldAndNothingOpens) {
    installRecordingEditor();
    TempFolder shipped;
    shipped.write("Slow.ini", "[DEVICECONFIGURATION]\ndevice_description=shipped slow\n");
    folder.write("clockpresets.ini", "[MIDIOUTPORT1]\nDEVICETYPE=Slow\n");
    // A file where the user's definition folder should be: no folder can be made there.
    TempFolder user;
    user.write("outdrv", "not a folder");
    definitionFolder = QString::fromStdString(user.file("outdrv") + "/");
    shippedOutputFolder = QString::fromStdString(shipped.path());
    TKorvidMain& w = open();
    w.EditButtonClick(1);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(QString::fromStdString(shipped.file("Slow.ini"))))
        << messages[0].toStdString();
    EXPECT_FALSE(std::filesystem::exists(folder.file("edited")));
    EXPECT_EQ(model().OutPort1()->DefinitionFile(), shipped.file("Slow.ini"));
}

// No editor of our own and no xdg-open on the path: the user learns what is missing.
TEST_F(EditDefinitionTest, WithoutXdgOpenTheMessageNamesWhatToInstall) {
    TempFolder emptyPath;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(emptyPath.path()));
    folder.write("outdrv/Special.ini", "[DEVICECONFIGURATION]\n");
    folder.write("clockpresets.ini", "[MIDIOUTPORT1]\nDEVICETYPE=Special\n");
    TKorvidMain& w = open();
    w.EditButtonClick(1);
    qputenv("PATH", path);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("xdg-open")) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains("xdg-utils")) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains(QString::fromStdString(folder.file("outdrv/Special.ini"))));
}

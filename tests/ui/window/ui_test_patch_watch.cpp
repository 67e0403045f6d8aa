// Settings patches in the main window: choosing one, editing it outside while it is watched,
// and our own save, which is no outside edit.
#include <gtest/gtest.h>

#include <QFile>
#include <filesystem>

#include "app/patch_selection.h"
#include "support/window_rig.h"
#include "ui/adapters/file_watch_qt.h"

namespace {

struct PatchWatchTest : MainWindowTest {
    // Our own editor stands in for the user's: once the test says "go" it saves the patch
    // twice in quick succession, each time by writing a new file and renaming it over the old.
    void installEditor() {
        const std::string patch = folder.file("live.tvp");
        const std::string go = folder.file("go"), done = folder.file("done");
        // Both renames from one process, microseconds apart, whatever the machine's load.
        folder.write(
            "tempovaneeditor",
            "#!/bin/sh\n"
            "for i in $(seq 200); do [ -e '" +
                go +
                "' ] && break; sleep 0.05; done\n"
                "printf '[BPM_PRESETS]\\nF5BPM=150\\n' > '" +
                patch +
                ".1'\n"
                "printf '[BPM_PRESETS]\\nF5BPM=160\\nF6BPM=130\\n' > '" +
                patch +
                ".2'\n"
                "python3 -c 'import os, sys; os.rename(sys.argv[1] + \".1\", sys.argv[1]); "
                "os.rename(sys.argv[1] + \".2\", sys.argv[1])' \"$1\"\n"
                "touch '" +
                done + "'\n");
        QFile::setPermissions(QString::fromStdString(folder.file("tempovaneeditor")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    void choose(const QString& item) {
        window->RefreshPatchList();
        const int index = window->PatchComboBox->findText(item);
        ASSERT_GE(index, 0) << item.toStdString();
        window->PatchComboBox->setCurrentIndex(index);
        emit window->PatchComboBox->activated(index);
    }
    void quiet() {
        QTest::qWait(600);  // several settle times
        pump();
    }
};

}  // namespace

TEST_F(PatchWatchTest, AnOutsideEditImportsOnceAndOurOwnSaveNever) {
    folder.write("live.tvp", "[BPM_PRESETS]\nF5BPM=140\n");
    installEditor();
    TKorvidMain& w = open();
    choose("live.tvp");
    EXPECT_DOUBLE_EQ(model().settings.F5BPM.load(), 140);
    EXPECT_FALSE(w.PatchWatch().Active());

    w.EditPatchButton->click();
    EXPECT_TRUE(messages.isEmpty()) << messages.join("; ").toStdString();
    EXPECT_TRUE(w.PatchWatch().Active());
    folder.write("go", "");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return std::filesystem::exists(folder.file("done")); }, 10000));
    (void)QTest::qWaitFor([&] { return w.PatchWatch().Reports() >= 1; }, 5000);
    quiet();
    EXPECT_EQ(w.PatchWatch().Reports(), 1);
    EXPECT_EQ(status(), "live.tvp import!");
    EXPECT_EQ(statusColor(), QColor(0, 128, 0));
    EXPECT_DOUBLE_EQ(model().settings.F5BPM.load(), 160);
    EXPECT_DOUBLE_EQ(model().settings.F6BPM.load(), 130);

    // The watch follows the choice; saving the settings file ourselves is no outside edit.
    choose("clockpresets.ini");
    EXPECT_TRUE(w.PatchWatch().Active());
    key(Qt::Key_S, Qt::ControlModifier, &w);
    quiet();
    EXPECT_EQ(status(), "Settings Saved");
    EXPECT_EQ(w.PatchWatch().Reports(), 1);

    // Written by someone else, the settings file is imported like any patch.
    folder.write("clockpresets.ini", "[BPM_PRESETS]\nF7BPM=111\n");
    (void)QTest::qWaitFor([&] { return w.PatchWatch().Reports() >= 2; }, 5000);
    quiet();
    EXPECT_EQ(w.PatchWatch().Reports(), 2);
    EXPECT_EQ(status(), "clockpresets.ini import!");
    EXPECT_DOUBLE_EQ(model().settings.F7BPM.load(), 111);
}

TEST_F(PatchWatchTest, APatchThatHasGoneWhenChosenChangesNothing) {
    folder.write("live.tvp", "[BPM_PRESETS]\nF5BPM=140\n");
    TKorvidMain& w = open();
    w.RefreshPatchList();
    ASSERT_EQ(w.PatchComboBox->count(), 2);
    std::filesystem::remove(folder.file("live.tvp"));
    w.PatchComboBox->setCurrentIndex(1);
    emit w.PatchComboBox->activated(1);
    EXPECT_DOUBLE_EQ(model().settings.F5BPM.load(), 100);
    w.RefreshPatchList();
    EXPECT_EQ(w.PatchComboBox->count(), 1);
    EXPECT_EQ(w.PatchComboBox->currentIndex(), -1);
}

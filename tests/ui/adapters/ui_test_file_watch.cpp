// The file watch behind the settings patches, on the real QFileSystemWatcher.
#include "ui/adapters/file_watch_qt.h"

#include <gtest/gtest.h>

#include <QTest>
#include <filesystem>

#include "support/model_rig.h"

namespace {

struct FileWatchTest : ::testing::Test {
    TempFolder folder;
    FileWatchQt watch{nullptr, 100};
    int changes = 0;

    void SetUp() override {
        folder.write("live.tvp", "[BPM_PRESETS]\nF5BPM=140\n");
        watch.OnChanged = [this] { ++changes; };
        watch.SetFileName(folder.file("live.tvp"));
        watch.Start();
    }
    // As most editors save: a new file beside the old one, renamed over it.
    void replace(const std::string& text) {
        folder.write("live.tvp.new", text);
        std::filesystem::rename(folder.file("live.tvp.new"), folder.file("live.tvp"));
    }
    // Long enough for a report to come: several settle times.
    void settle() { QTest::qWait(500); }
    // A report is due: waits for it however busy the machine is, then a while longer, so that
    // a second report would show too.
    void expectChanges(int count) {
        (void)QTest::qWaitFor([&] { return changes >= count; },
                              5000);  // the count is checked below
        settle();
        EXPECT_EQ(changes, count);
    }
};

}  // namespace

TEST_F(FileWatchTest, RenamesInQuickSuccessionAreOneChangeAndTheWatchGoesOn) {
    replace("[BPM_PRESETS]\nF5BPM=150\n");
    replace("[BPM_PRESETS]\nF5BPM=160\n");
    expectChanges(1);
    // Still watched after the file it first watched was replaced.
    replace("[BPM_PRESETS]\nF5BPM=170\n");
    expectChanges(2);
    // Written in place, as some editors do.
    folder.write("live.tvp", "[BPM_PRESETS]\nF5BPM=180\n");
    expectChanges(3);
}

TEST_F(FileWatchTest, OtherFilesAndAVanishedPatchReportNothing) {
    folder.write("other.tvp", "x");
    folder.write("clockpresets.ini", "y");
    settle();
    EXPECT_EQ(changes, 0);
    std::filesystem::remove(folder.file("live.tvp"));
    settle();
    EXPECT_EQ(changes, 0);
    // Back again: that is a change to import.
    folder.write("live.tvp", "[BPM_PRESETS]\nF5BPM=150\n");
    expectChanges(1);
}

TEST_F(FileWatchTest, AStoppedWatchReportsNothingAndRestartsFromTheFileAsItIs) {
    watch.Stop();
    EXPECT_FALSE(watch.Active());
    replace("[BPM_PRESETS]\nF5BPM=150\n");
    watch.Start();  // what was written meanwhile is known now, not a change
    settle();
    EXPECT_EQ(changes, 0);
    replace("[BPM_PRESETS]\nF5BPM=160\n");
    expectChanges(1);
}

TEST_F(FileWatchTest, MovingTheWatchToAnotherFile) {
    folder.write("slow.tvp", "a");
    watch.SetFileName(folder.file("slow.tvp"));
    EXPECT_TRUE(watch.Active());
    replace("[BPM_PRESETS]\nF5BPM=150\n");  // the old file
    settle();
    EXPECT_EQ(changes, 0);
    folder.write("slow.tvp", "b");
    expectChanges(1);
    EXPECT_EQ(watch.FileName(), folder.file("slow.tvp"));
}

// Settings patches: the selector's list, applying a patch, and the watch that re-imports it.
#include "app/patch_selection.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "app/settings_file.h"
#include "state/app_settings.h"
#include "state/list_model.h"
#include "support/model_rig.h"

namespace {

// A watch driven by the test: it records what the selection asks of it.
class HandWatch final : public FileWatch {
  public:
    void SetFileName(const std::string& path) override { path_ = path; }
    std::string FileName() const override { return path_; }
    void Start() override {
        active_ = true;
        ++starts;
    }
    void Stop() override { active_ = false; }
    bool Active() const override { return active_; }
    void fire() {
        if (active_ && OnChanged) OnChanged();
    }
    int starts = 0;

  private:
    std::string path_;
    bool active_ = false;
};

struct Patches : ::testing::Test {
    TempFolder folder;
    ListModel selector;
    HandWatch watch;
    AppSettings settings;
    std::vector<std::string> applied;
    std::vector<std::string> statuses;
    std::unique_ptr<PatchSelection> patches;

    void SetUp() override {
        PatchSelection::Callbacks callbacks;
        callbacks.getPatchINI = [this](const std::string& path) {
            applied.push_back(path);
            SettingsFile::GetPatchINI(path, settings);
        };
        callbacks.postImport = [this](const std::string& text) { statuses.push_back(text); };
        patches = std::make_unique<PatchSelection>(selector, watch, folder.path(),
                                                   folder.file("clockpresets.ini"), callbacks);
        selector.setItems({"clockpresets.ini"});
        selector.setIndex(0);
    }
    void choose(const std::string& item) {
        patches->RefreshPatchList();
        ASSERT_TRUE(SelectByName(selector, item));
        patches->PatchComboBoxChange();
    }
};

}  // namespace

TEST_F(Patches, ListHoldsTheSettingsFileThenThePatches) {
    folder.write("live.tvp", "");
    folder.write("Ballads.TVP", "");
    folder.write(".hidden.tvp", "");
    folder.write("notes.txt", "");
    folder.write("folder.tvp/inner", "");
    patches->RefreshPatchList();
    EXPECT_EQ(selector.items(),
              (std::vector<std::string>{"clockpresets.ini", "Ballads.TVP", "live.tvp"}));
    EXPECT_EQ(selector.text(), "clockpresets.ini");

    // A patch deleted while the list is closed goes at the next drop-down, and with it the
    // selection when it was the chosen one.
    ASSERT_TRUE(SelectByName(selector, "live.tvp"));
    std::filesystem::remove(folder.file("live.tvp"));
    patches->RefreshPatchList();
    EXPECT_EQ(selector.items(), (std::vector<std::string>{"clockpresets.ini", "Ballads.TVP"}));
    EXPECT_EQ(selector.index(), -1);
}

TEST_F(Patches, APatchChangesOnlyTheKeysItHolds) {
    folder.write("live.tvp", "[BPM_PRESETS]\nF5BPM=140\n");
    settings.FLASHINGPERIOD = 7;
    choose("live.tvp");
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0], folder.file("live.tvp"));
    EXPECT_DOUBLE_EQ(settings.F5BPM.load(), 140);
    EXPECT_DOUBLE_EQ(settings.F6BPM.load(), 120);
    EXPECT_EQ(settings.FLASHINGPERIOD.load(), 7);

    // The settings file stands in the list as a patch too.
    folder.write("clockpresets.ini", "[APPLICATION_PRESETS]\nFLASHINGPERIOD=3\n");
    choose("clockpresets.ini");
    EXPECT_EQ(applied.back(), folder.file("clockpresets.ini"));
    EXPECT_EQ(settings.FLASHINGPERIOD.load(), 3);
    EXPECT_DOUBLE_EQ(settings.F5BPM.load(), 140);
}

TEST_F(Patches, APatchThatHasGoneChangesNothing) {
    settings.F5BPM = 99;
    SettingsFile::Problem problem;
    EXPECT_FALSE(SettingsFile::GetPatchINI(folder.file("gone.tvp"), settings, &problem));
    EXPECT_EQ(problem.text, "Patch not read: file is missing");
    std::filesystem::create_directories(folder.file("odd.tvp"));
    EXPECT_FALSE(SettingsFile::GetPatchINI(folder.file("odd.tvp"), settings));
    EXPECT_DOUBLE_EQ(settings.F5BPM.load(), 99);
}

// A named pipe, a device or a huge file where a patch belongs is refused at once, with the
// file's name, and never listed.
TEST_F(Patches, OnlyRegularFilesOfAPatchsSizeAreListedAndRead) {
    settings.F5BPM = 99;
    ASSERT_EQ(::mkfifo(folder.file("pipe.tvp").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", folder.file("zero.tvp"));
    folder.write("huge.tvp", "[BPM_PRESETS]\nF5BPM=140\n" + std::string(2 << 20, ';'));
    folder.write("fine.tvp", "[BPM_PRESETS]\nF5BPM=140\n");
    patches->RefreshPatchList();
    EXPECT_EQ(selector.items(),
              (std::vector<std::string>{"clockpresets.ini", "fine.tvp", "huge.tvp"}));
    SettingsFile::Problem problem;
    EXPECT_FALSE(SettingsFile::GetPatchINI(folder.file("pipe.tvp"), settings, &problem));
    EXPECT_EQ(problem.text, "Patch not read: not a regular file (a named pipe)");
    EXPECT_EQ(problem.detail, "Patch not read: could not read " + folder.file("pipe.tvp") +
                                  ": not a regular file (a named pipe)");
    EXPECT_FALSE(SettingsFile::GetPatchINI(folder.file("zero.tvp"), settings, &problem));
    EXPECT_EQ(problem.text, "Patch not read: not a regular file (a device)");
    EXPECT_FALSE(SettingsFile::GetPatchINI(folder.file("huge.tvp"), settings, &problem));
    EXPECT_EQ(problem.text, "Patch not read: file too large");
    EXPECT_EQ(problem.detail, "Patch not read: could not read " + folder.file("huge.tvp") +
                                  ": File larger than 1 MB");
    EXPECT_DOUBLE_EQ(settings.F5BPM.load(), 99);
    // The settings file standing in for a patch may be as large as a settings file.
    EXPECT_TRUE(SettingsFile::GetPatchINI(folder.file("huge.tvp"), settings, &problem, true));
    EXPECT_DOUBLE_EQ(settings.F5BPM.load(), 140);
}

// A patch holds the same keys as the settings file and meets the same limits.
TEST_F(Patches, OutOfRangeValuesOfAPatchAreIgnored) {
    folder.write("bad.tvp",
                 "[APPLICATION_PRESETS]\nFLASHINGPERIOD=-1\nTAPTEMPOCOUNT=-2147483648\n"
                 "[BPM_PRESETS]\nF5BPM=1e308\nF6BPM=99.5\n[LINK]\nQUANTUM=-1e308\n");
    EXPECT_TRUE(SettingsFile::GetPatchINI(folder.file("bad.tvp"), settings));
    EXPECT_EQ(settings.FLASHINGPERIOD.load(), 24);
    EXPECT_EQ(settings.TAPTEMPOCOUNT.load(), 2);
    EXPECT_DOUBLE_EQ(settings.F5BPM.load(), 100);
    EXPECT_DOUBLE_EQ(settings.F6BPM.load(), 99.5);
    EXPECT_DOUBLE_EQ(settings.LINKQUANTUM.load(), 4);
}

TEST_F(Patches, TheWatchStartsWithEditAndFollowsEveryChoice) {
    folder.write("live.tvp", "[BPM_PRESETS]\nF5BPM=140\n");
    folder.write("slow.tvp", "[BPM_PRESETS]\nF5BPM=60\n");
    EXPECT_EQ(watch.FileName(), folder.file("clockpresets.ini"));
    choose("live.tvp");
    EXPECT_FALSE(watch.Active());  // choosing alone does not watch
    EXPECT_EQ(watch.FileName(), folder.file("live.tvp"));

    patches->StartWatching();  // the Edit button
    patches->StartWatching();
    EXPECT_TRUE(watch.Active());
    EXPECT_EQ(watch.starts, 1);

    folder.write("live.tvp", "[BPM_PRESETS]\nF5BPM=150\n");
    watch.fire();
    EXPECT_EQ(statuses, (std::vector<std::string>{"live.tvp import!"}));
    EXPECT_DOUBLE_EQ(settings.F5BPM.load(), 150);

    choose("slow.tvp");
    EXPECT_TRUE(watch.Active());
    EXPECT_EQ(watch.FileName(), folder.file("slow.tvp"));
    watch.fire();
    EXPECT_EQ(statuses.back(), "slow.tvp import!");
    EXPECT_DOUBLE_EQ(settings.F5BPM.load(), 60);
}

TEST_F(Patches, SavingPausesOnlyAnActiveWatch) {
    {
        const PatchSelection::Pause pause(*patches);
        EXPECT_FALSE(watch.Active());
    }
    EXPECT_FALSE(watch.Active());
    patches->StartWatching();
    {
        const PatchSelection::Pause pause(*patches);
        EXPECT_FALSE(watch.Active());
        watch.fire();  // our own write while paused
    }
    EXPECT_TRUE(watch.Active());
    EXPECT_TRUE(statuses.empty());
}

TEST_F(Patches, TheSettingsItemNamesTheSettingsFileInUse) {
    const std::string elsewhere = folder.file("other/mine.ini");
    PatchSelection other(selector, watch, folder.path(), elsewhere, {});
    EXPECT_EQ(other.PathOf("clockpresets.ini"), elsewhere);
    EXPECT_EQ(other.PathOf(""), elsewhere);
    EXPECT_EQ(other.PathOf("live.tvp"), folder.file("live.tvp"));
}

// Chosen in the window, a patch that cannot be read says so on the status line, naming the file.
TEST(PatchImport, APatchThatCannotBeReadIsToldWithItsName) {
    ModelRig rig;
    const std::string pipe = rig.folder.file("live.tvp");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_FALSE(SettingsFile::ImportPatch(pipe, *rig.model));
    const MainState::Status status = rig.model->state.PendingStatus();
    EXPECT_EQ(status.text, "Patch not read: not a regular file (a named pipe)");
    EXPECT_NE(status.detail.find(pipe), std::string::npos);
    EXPECT_EQ(status.color, StatusColors::red);
}

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <locale>
#include <sstream>
#include <string>

#include "platform/ini_file.h"

namespace fs = std::filesystem;

namespace {

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// What a settings file looks like after a user has edited it: comments, odd spelling, keys and
// sections this program does not know.
const char* const kEditedFile =
    "; Tempovane settings\n"
    "\n"
    "; window and tempo\n"
    "[Application_Presets]\n"
    "MainScreenPositionTop=226\n"
    "; the tempo at start\n"
    "DEFAULTSPEED=120\n"
    "FUTUREOPTION=keep me\n"
    "BPMMAXIMUM=330\n"
    "\n"
    "[SOMEONE_ELSES]\n"
    "X=1\n"
    "\n"
    "[BPM_PRESETS]\n"
    "F5BPM=100\n"
    "\n"
    "; kept for the live set\n";

class IniFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tempovane-ini-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir_);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    // Everything in the folder; a failed save must not leave a temporary file behind.
    std::vector<std::string> folderContents() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // Loads the edited file, changes a value, and checks that save() fails without harm.
    void expectFailedSaveLeavesOldFile(const std::string& target) {
        const std::string before = ReadText(target);
        const auto contentsBefore = folderContents();
        IniFile ini;
        ASSERT_TRUE(ini.load(path("settings.ini")));
        ini.writeInt("APPLICATION_PRESETS", "MAINSCREENPOSITIONTOP", 999);
        std::string error;
        EXPECT_FALSE(ini.save(target, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(ReadText(target), before);
        EXPECT_EQ(folderContents(), contentsBefore);
    }

    fs::path dir_;
};

}  // namespace

TEST_F(IniFileTest, MissingFileIsAnEmptyDocument) {
    IniFile ini;
    std::string error = "untouched";
    EXPECT_TRUE(ini.load(path("absent.ini"), &error));
    EXPECT_TRUE(ini.load(path("no-such-folder/absent.ini"), &error));
    EXPECT_FALSE(ini.hasSection("APPLICATION_PRESETS"));
    EXPECT_EQ(ini.readInt("APPLICATION_PRESETS", "TAPTEMPOCOUNT", 2), 2);
    EXPECT_EQ(ini.readString("APPLICATION_PRESETS", "X", "def"), "def");
    EXPECT_TRUE(ini.sectionEntries("APPLICATION_PRESETS").empty());
}

TEST_F(IniFileTest, UnreadableFileIsReportedAndGivesAnEmptyDocument) {
    WriteText(path("settings.ini"), kEditedFile);
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    fs::create_directory(path("folder.ini"));
    std::string error;
    EXPECT_FALSE(ini.load(path("folder.ini"), &error));
    EXPECT_EQ(error, "Is a directory");
    EXPECT_FALSE(ini.hasSection("BPM_PRESETS"));  // nothing of the earlier load is left
}

TEST_F(IniFileTest, NamesAreCaseInsensitive) {
    WriteText(path("settings.ini"), kEditedFile);
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    EXPECT_TRUE(ini.hasSection("APPLICATION_PRESETS"));
    EXPECT_TRUE(ini.hasSection("application_presets"));
    EXPECT_TRUE(ini.hasKey("APPLICATION_PRESETS", "MAINSCREENPOSITIONTOP"));
    EXPECT_FALSE(ini.hasKey("APPLICATION_PRESETS", "MAINSCREENPOSITIONLEFT"));
    EXPECT_FALSE(ini.hasKey("BPM_PRESETS", "MAINSCREENPOSITIONTOP"));
    EXPECT_EQ(ini.readInt("APPLICATION_PRESETS", "mainscreenpositiontop", 0), 226);
    // The underscore matters: this is another section, not another spelling.
    EXPECT_FALSE(ini.hasSection("APPLICATIONPRESETS"));
}

TEST_F(IniFileTest, TypedReadsFallBackToTheDefault) {
    WriteText(path("settings.ini"),
              "[S]\n"
              "HEX=0x18\n"
              "NEGATIVE=-12\n"
              "SEVEN=7\n"
              "ZERO=0\n"
              "WORD=yes\n"
              "FLOAT=131.578\n"
              "COMMA=131,578\n"
              "EMPTY=\n"
              "BAD=12a\n"
              "NAME=JACK: midi-monitor:input \"1\"\n");
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    EXPECT_EQ(ini.readInt("S", "HEX", 0), 24);
    EXPECT_EQ(ini.readInt("S", "NEGATIVE", 0), -12);
    EXPECT_EQ(ini.readInt("S", "FLOAT", 5), 5);
    EXPECT_EQ(ini.readInt("S", "BAD", 5), 5);
    EXPECT_EQ(ini.readInt("S", "EMPTY", 5), 5);
    EXPECT_EQ(ini.readInt("NOSECTION", "HEX", 5), 5);

    EXPECT_TRUE(ini.readBool("S", "SEVEN", false));
    EXPECT_TRUE(ini.readBool("S", "NEGATIVE", false));
    EXPECT_TRUE(ini.readBool("S", "HEX", false));
    EXPECT_FALSE(ini.readBool("S", "ZERO", true));
    EXPECT_TRUE(ini.readBool("S", "WORD", true));
    EXPECT_FALSE(ini.readBool("S", "WORD", false));
    EXPECT_TRUE(ini.readBool("S", "MISSING", true));

    EXPECT_DOUBLE_EQ(ini.readFloat("S", "FLOAT", 0), 131.578);
    EXPECT_DOUBLE_EQ(ini.readFloat("S", "NEGATIVE", 0), -12);
    EXPECT_DOUBLE_EQ(ini.readFloat("S", "COMMA", 120), 120);
    EXPECT_DOUBLE_EQ(ini.readFloat("S", "EMPTY", 120), 120);
    EXPECT_DOUBLE_EQ(ini.readFloat("S", "MISSING", 120), 120);

    EXPECT_EQ(ini.readString("S", "NAME", ""), "JACK: midi-monitor:input \"1\"");
    EXPECT_EQ(ini.readString("S", "EMPTY", "def"), "");  // present but empty is not missing
}

TEST_F(IniFileTest, WritesKeyEqualsValueInPlace) {
    WriteText(path("settings.ini"), kEditedFile);
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    ini.writeInt("APPLICATION_PRESETS", "MAINSCREENPOSITIONTOP", -20);
    ini.writeFloat("APPLICATION_PRESETS", "BPMMAXIMUM", 2500);
    ini.writeFloat("application_presets", "DEFAULTSPEED", 131.578);
    ini.writeFloat("APPLICATION_PRESETS", "BPMMINIMUM", 0.001);
    ini.writeBool("APPLICATION_PRESETS", "SHOWFLASHING", true);
    ini.writeBool("APPLICATION_PRESETS", "FULLFLASHING", false);
    ini.writeString("MIDIOUTPORT1", "MIDIPORTNAME", "JACK: synth:midi_in");
    ini.writeInt("MIDIOUTPORT1", "MIDIPORTINDEX", -1);
    ASSERT_TRUE(ini.save(path("settings.ini")));

    EXPECT_EQ(ReadText(path("settings.ini")),
              "; Tempovane settings\n"
              "\n"
              "\n"
              "; window and tempo\n"
              "[Application_Presets]\n"
              "MainScreenPositionTop=-20\n"
              "\n"
              "; the tempo at start\n"
              "DEFAULTSPEED=131.578\n"
              "FUTUREOPTION=keep me\n"
              "BPMMAXIMUM=2500\n"
              "BPMMINIMUM=0.001\n"
              "SHOWFLASHING=1\n"
              "FULLFLASHING=0\n"
              "\n"
              "\n"
              "[SOMEONE_ELSES]\n"
              "X=1\n"
              "\n"
              "\n"
              "[BPM_PRESETS]\n"
              "F5BPM=100\n"
              "\n"
              "\n"
              "[MIDIOUTPORT1]\n"
              "MIDIPORTNAME=JACK: synth:midi_in\n"
              "MIDIPORTINDEX=-1\n"
              "\n"
              "; kept for the live set\n");
}

TEST_F(IniFileTest, SectionEntriesKeepFileOrderAndSpelling) {
    WriteText(path("settings.ini"), kEditedFile);
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    ini.writeString("APPLICATION_PRESETS", "NEWKEY", "n");
    ini.writeString("APPLICATION_PRESETS", "FUTUREOPTION", "changed");
    using Entries = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(ini.sectionEntries("application_presets"), (Entries{{"MainScreenPositionTop", "226"},
                                                                  {"DEFAULTSPEED", "120"},
                                                                  {"FUTUREOPTION", "changed"},
                                                                  {"BPMMAXIMUM", "330"},
                                                                  {"NEWKEY", "n"}}));
    EXPECT_TRUE(ini.sectionEntries("NOSUCHSECTION").empty());
}

TEST_F(IniFileTest, SectionLinesKeepEveryLineAsTheFileHasIt) {
    IniFile ini;
    ASSERT_TRUE(ini.loadText("\xEF\xBB\xBF[Tracks]\r\nHH=1010\r\n; a comment=no\r\n"
                             "  bd = 1000  \r\nno equals here\r\n=no key\r\nHH=0101\r\n"
                             "[OTHER]\nHH=9\n[broken\nBD=1111\n[TRACKS ]\nhh=1\n"));
    using Entries = std::vector<std::pair<std::string, std::string>>;
    // The library merges repeats: one HH with the last value, bd and BD as one key.
    EXPECT_EQ(ini.sectionEntries("TRACKS").size(), 2u);
    EXPECT_EQ(ini.sectionLines("tracks"),
              (Entries{{"HH", "1010"}, {"bd", "1000"}, {"HH", "0101"}, {"hh", "1"}}));
    // What follows "[broken" belongs to no section asked for, as the library has it.
    EXPECT_EQ(ini.sectionLines("OTHER"), (Entries{{"HH", "9"}}));
    EXPECT_EQ(ini.sectionEntries("OTHER"), ini.sectionLines("OTHER"));
    EXPECT_TRUE(ini.sectionLines("NOSUCHSECTION").empty());
    ASSERT_TRUE(ini.load(path("missing.ini")));
    EXPECT_TRUE(ini.sectionLines("TRACKS").empty()) << "a new load forgets the old text";
}

TEST_F(IniFileTest, EraseSectionRemovesItAndIsHarmlessWhenAbsent) {
    WriteText(path("settings.ini"), kEditedFile);
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    ini.eraseSection("APPLICATIONPRESETS");
    ini.eraseSection("someone_elses");
    EXPECT_FALSE(ini.hasSection("SOMEONE_ELSES"));
    EXPECT_FALSE(ini.hasKey("SOMEONE_ELSES", "X"));
    ASSERT_TRUE(ini.save(path("out.ini")));
    const std::string text = ReadText(path("out.ini"));
    EXPECT_EQ(text.find("SOMEONE_ELSES"), std::string::npos);
    EXPECT_NE(text.find("[BPM_PRESETS]\nF5BPM=100\n"), std::string::npos);
}

TEST_F(IniFileTest, SavingAgainGivesTheSameBytes) {
    WriteText(path("settings.ini"), kEditedFile);
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    // The same changes as a settings save makes every time, including erasing absent sections.
    const auto saveSettings = [&](IniFile& file, const std::string& to) {
        file.eraseSection("APPLICATIONPRESETS");
        file.writeFloat("APPLICATION_PRESETS", "DEFAULTSPEED", 2500000.0 / 120000);
        file.eraseSection("BPMPRESETS");
        file.writeFloat("BPM_PRESETS", "F6BPM", 120.5);
        ASSERT_TRUE(file.save(to));
    };
    saveSettings(ini, path("first.ini"));
    saveSettings(ini, path("second.ini"));
    IniFile reloaded;
    ASSERT_TRUE(reloaded.load(path("first.ini")));
    saveSettings(reloaded, path("third.ini"));
    const std::string first = ReadText(path("first.ini"));
    EXPECT_EQ(ReadText(path("second.ini")), first);
    EXPECT_EQ(ReadText(path("third.ini")), first);
    EXPECT_NE(first.find("DEFAULTSPEED=20.8333333333333\n"), std::string::npos);
}

TEST_F(IniFileTest, CommentsAndWindowsLineEndingsSurvive) {
    WriteText(path("settings.ini"),
              "\xEF\xBB\xBF[S]\r\n"
              "# hash comment\r\n"
              "A=1\r\n"
              "; end one\r\n"
              "\r\n"
              "; end two\r\n"
              "\r\n");
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    EXPECT_EQ(ini.readInt("S", "A", 0), 1);
    ASSERT_TRUE(ini.save(path("out.ini")));
    // The library sets a comment above a key off with a blank line.
    EXPECT_EQ(ReadText(path("out.ini")), "[S]\n\n# hash comment\nA=1\n\n; end one\n\n; end two\n");
}

TEST_F(IniFileTest, FileOfOnlyCommentsSurvives) {
    for (const std::string text : {"; one block\n; of comments\n", "; first\n\n; second\n",
                                   "\xEF\xBB\xBF; first\n\n; second\n\n; third\n"}) {
        WriteText(path("settings.ini"), text);
        IniFile ini;
        ASSERT_TRUE(ini.load(path("settings.ini")));
        ASSERT_TRUE(ini.save(path("out.ini")));
        const std::string expected = text.starts_with("\xEF") ? text.substr(3) : text;
        EXPECT_EQ(ReadText(path("out.ini")), expected);
    }
}

TEST_F(IniFileTest, ValueStaysOnOneLine) {
    IniFile ini;
    ini.writeString("S", "NAME", "two\nlines\r\nINJECTED=1");
    ASSERT_TRUE(ini.save(path("out.ini")));
    IniFile reloaded;
    ASSERT_TRUE(reloaded.load(path("out.ini")));
    EXPECT_EQ(reloaded.readString("S", "NAME", ""), "two lines  INJECTED=1");
    EXPECT_FALSE(reloaded.hasKey("S", "INJECTED"));
}

TEST_F(IniFileTest, CommaDecimalLocaleDoesNotReachTheFile) {
    struct CommaDecimal : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
    };
    const std::locale oldLocale;
    const std::string oldCLocale = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "de_DE.UTF-8");  // when installed; the facet below always applies
    std::locale::global(std::locale(std::locale(), new CommaDecimal));

    IniFile ini;
    ini.writeFloat("APPLICATION_PRESETS", "DEFAULTSPEED", 120.5);
    const bool saved = ini.save(path("out.ini"));
    IniFile reloaded;
    const bool loaded = reloaded.load(path("out.ini"));
    const double speed = reloaded.readFloat("APPLICATION_PRESETS", "DEFAULTSPEED", 0);

    std::locale::global(oldLocale);
    std::setlocale(LC_ALL, oldCLocale.c_str());
    ASSERT_TRUE(saved && loaded);
    EXPECT_EQ(ReadText(path("out.ini")), "[APPLICATION_PRESETS]\nDEFAULTSPEED=120.5\n");
    EXPECT_DOUBLE_EQ(speed, 120.5);
}

TEST_F(IniFileTest, SaveKeepsPermissionsAndSymbolicLinks) {
    WriteText(path("real.ini"), kEditedFile);
    fs::permissions(path("real.ini"),
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(path("real.ini"), path("link.ini"));
    IniFile ini;
    ASSERT_TRUE(ini.load(path("link.ini")));
    ini.writeInt("BPM_PRESETS", "F5BPM", 90);
    std::string error;
    ASSERT_TRUE(ini.save(path("link.ini"), &error)) << error;

    EXPECT_TRUE(fs::is_symlink(path("link.ini")));
    IniFile reloaded;
    ASSERT_TRUE(reloaded.load(path("real.ini")));
    EXPECT_EQ(reloaded.readInt("BPM_PRESETS", "F5BPM", 0), 90);
    EXPECT_EQ(fs::status(path("real.ini")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(folderContents(), (std::vector<std::string>{"link.ini", "real.ini"}));
}

TEST_F(IniFileTest, FailedSaveIntoMissingFolderOrOverAFolder) {
    WriteText(path("settings.ini"), kEditedFile);
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    std::string error;
    EXPECT_FALSE(ini.save(path("missing/settings.ini"), &error));
    EXPECT_EQ(error, "No such file or directory");

    fs::create_directory(path("folder.ini"));
    expectFailedSaveLeavesOldFile(path("folder.ini"));
}

TEST_F(IniFileTest, FailedSaveInReadOnlyFolderLeavesOldFile) {
    WriteText(path("settings.ini"), kEditedFile);
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read |
                              fs::perms::others_exec);
    // Root, or anyone with CAP_DAC_OVERRIDE, writes into a read-only folder anyway. The disk
    // full test below covers the failure path for them.
    const std::string probe = path("probe");
    if (std::FILE* f = std::fopen(probe.c_str(), "w")) {
        std::fclose(f);
        std::remove(probe.c_str());
        GTEST_SKIP() << "folder permissions are not enforced for this user";
    }
    expectFailedSaveLeavesOldFile(path("settings.ini"));
    IniFile ini;
    std::string error;
    EXPECT_FALSE(ini.save(path("settings.ini"), &error));
    EXPECT_EQ(error, "Permission denied");
}

TEST_F(IniFileTest, FullDiskLeavesOldFile) {
    // A file size limit makes write() fail part-way with EFBIG, like a disk that fills up while
    // the new file is written, and works whatever the user's rights.
    WriteText(path("settings.ini"), kEditedFile);
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    for (int i = 0; i < 50; ++i) ini.writeInt("FILLER", "KEY" + std::to_string(i), i);
    const std::string before = ReadText(path("settings.ini"));

    rlimit oldLimit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    rlimit smallLimit = oldLimit;
    smallLimit.rlim_cur = 64;
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &smallLimit), 0);
    std::string error;
    const bool saved = ini.save(path("settings.ini"), &error);
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    ::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(error, "File too large");
    EXPECT_EQ(ReadText(path("settings.ini")), before);
    EXPECT_EQ(folderContents(), std::vector<std::string>{"settings.ini"});
}

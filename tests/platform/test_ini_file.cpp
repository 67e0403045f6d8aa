#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

    // The file as it was, line for line: only the values written changed, in place, and the
    // new keys and section came after the last key of theirs.
    EXPECT_EQ(ReadText(path("settings.ini")),
              "; Tempovane settings\n"
              "\n"
              "; window and tempo\n"
              "[Application_Presets]\n"
              "MainScreenPositionTop=-20\n"
              "; the tempo at start\n"
              "DEFAULTSPEED=131.578\n"
              "FUTUREOPTION=keep me\n"
              "BPMMAXIMUM=2500\n"
              "BPMMINIMUM=0.001\n"
              "SHOWFLASHING=1\n"
              "FULLFLASHING=0\n"
              "\n"
              "[SOMEONE_ELSES]\n"
              "X=1\n"
              "\n"
              "[BPM_PRESETS]\n"
              "F5BPM=100\n"
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
    ASSERT_TRUE(
        ini.loadText("\xEF\xBB\xBF[Tracks]\r\nHH=1010\r\n; a comment=no\r\n"
                     "  bd = 1000  \r\nno equals here\r\n=no key\r\nHH=0101\r\n"
                     "[OTHER]\nHH=9\n[broken\nBD=1111\n[TRACKS ]\nhh=1\n"));
    using Entries = std::vector<std::pair<std::string, std::string>>;
    // The reads merge repeats: one HH with the last value, bd and BD as one key.
    EXPECT_EQ(ini.sectionEntries("TRACKS").size(), 2u);
    EXPECT_EQ(ini.sectionLines("tracks"),
              (Entries{{"HH", "1010"}, {"bd", "1000"}, {"HH", "0101"}, {"hh", "1"}}));
    // "[broken" is no header, so what follows it stays in the section above, as the reads
    // have it.
    EXPECT_EQ(ini.sectionLines("OTHER"), (Entries{{"HH", "9"}, {"BD", "1111"}}));
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
    EXPECT_EQ(ReadText(path("out.ini")), ReadText(path("settings.ini")));
    // A new key ends its line as the file's own lines do.
    ini.writeInt("S", "B", 2);
    EXPECT_EQ(
        ini.text(),
        "\xEF\xBB\xBF[S]\r\n# hash comment\r\nA=1\r\nB=2\r\n; end one\r\n\r\n; end two\r\n\r\n");
}

TEST_F(IniFileTest, FileOfOnlyCommentsSurvives) {
    for (const std::string text : {"; one block\n; of comments\n", "; first\n\n; second\n",
                                   "\xEF\xBB\xBF; first\n\n; second\n\n; third\n"}) {
        WriteText(path("settings.ini"), text);
        IniFile ini;
        ASSERT_TRUE(ini.load(path("settings.ini")));
        ASSERT_TRUE(ini.save(path("out.ini")));
        EXPECT_EQ(ReadText(path("out.ini")), text);
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

// A section the program does not own, as a musician keeps notes in the settings file: repeats,
// keys in two spellings, a line without "=", a continued line and the same name in other
// letter case. A save that changes the program's own keys leaves all of it as it was.
TEST_F(IniFileTest, ForeignLinesSurviveASaveByteForByte) {
    const std::string foreign =
        "[NOTES]\n"
        "setlist=opener, ballad\n"
        "setlist=encore\n"
        "Gig=Friday\n"
        "GIG=Saturday\n"
        "bring spare cables\n"
        "intro=slow \\\n"
        "   then fast\n"
        "  indented = kept  \t\n"
        "=no key\n"
        "[half a header\n"
        "[notes]\n"
        "second=section\n";
    const std::string before = "[APPLICATION_PRESETS]\nDEFAULTSPEED=120\n\n" + foreign;
    WriteText(path("settings.ini"), before);
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    // Reading is as before: one value per key, the last, and the two spellings are one section.
    EXPECT_EQ(ini.readString("NOTES", "SETLIST", ""), "encore");
    EXPECT_EQ(ini.readString("notes", "gig", ""), "Saturday");
    EXPECT_EQ(ini.readString("NOTES", "second", ""), "section");
    EXPECT_EQ(ini.readString("NOTES", "indented", ""), "kept");
    EXPECT_FALSE(ini.hasKey("NOTES", "bring spare cables"));

    ini.writeFloat("APPLICATION_PRESETS", "DEFAULTSPEED", 98.5);
    ini.writeInt("BPM_PRESETS", "F5BPM", 100);
    ASSERT_TRUE(ini.save(path("settings.ini")));
    EXPECT_EQ(ReadText(path("settings.ini")), "[APPLICATION_PRESETS]\nDEFAULTSPEED=98.5\n\n" +
                                                  foreign + "\n[BPM_PRESETS]\nF5BPM=100\n");
}

TEST_F(IniFileTest, AKeyWrittenKeepsItsLineAndLosesItsStaleRepeats) {
    IniFile ini;
    ASSERT_TRUE(
        ini.loadText("[Application_Presets]\n"
                     "  DefaultSpeed = 90   ; old\n"
                     "X=1\n"
                     "[application_presets]\n"
                     "DEFAULTSPEED = 100\n"
                     "Y=2\n"
                     "[OTHER]\n"
                     "DEFAULTSPEED=7\n"));
    EXPECT_DOUBLE_EQ(ini.readFloat("APPLICATION_PRESETS", "DEFAULTSPEED", 0), 100);
    ini.writeInt("APPLICATION_PRESETS", "DEFAULTSPEED", 120);
    ini.writeInt("APPLICATION_PRESETS", "NEW", 3);
    // The line read is the one written, with the spelling and spacing it had; the repeat
    // above it, never read, goes; the new key joins the last section of that name.
    EXPECT_EQ(ini.text(),
              "[Application_Presets]\n"
              "X=1\n"
              "[application_presets]\n"
              "DEFAULTSPEED = 120\n"
              "Y=2\n"
              "NEW=3\n"
              "[OTHER]\n"
              "DEFAULTSPEED=7\n");
    EXPECT_EQ(ini.sectionEntries("APPLICATION_PRESETS"),
              (std::vector<std::pair<std::string, std::string>>{
                  {"X", "1"}, {"DEFAULTSPEED", "120"}, {"Y", "2"}, {"NEW", "3"}}));
}

TEST_F(IniFileTest, EdgesOfTheTextSurvive) {
    // A last line without a line break, a lone CR as a line break and a NUL inside a line.
    using namespace std::string_literals;
    const std::string text = "[S]\rA=1\nNOTE=a\0b\n[T]\nB=2"s;
    IniFile ini;
    ASSERT_TRUE(ini.loadText(text));
    EXPECT_EQ(ini.readInt("S", "A", 0), 1);
    EXPECT_EQ(ini.readString("S", "NOTE", ""),
              "a\x1A"
              "b");
    EXPECT_EQ(ini.text(), text);
    EXPECT_TRUE(ini.looksBinary());
    ini.writeInt("T", "C", 3);
    ini.writeInt("S", "A", 5);
    // New lines end as the file's first line does.
    EXPECT_EQ(ini.text(), "[S]\rA=5\nNOTE=a\0b\n[T]\nB=2\rC=3\r"s);
    ASSERT_TRUE(ini.loadText("[S]\r\n\tA=1\f\r\nB=\x1A\r\n"));
    EXPECT_FALSE(ini.looksBinary());

    // A lone CR that comes to meet an empty line ending in LF (the section between them went)
    // gets its LF, or the two would read as one line end and the empty line would be lost.
    ASSERT_TRUE(ini.loadText("X=1\r[OLD]\nA=1\n\n[NEW]\n"));
    ini.eraseSection("OLD");
    EXPECT_EQ(ini.text(), "X=1\r\n\n[NEW]\n");
    // A new line ends as the line before it does.
    ASSERT_TRUE(ini.loadText("[S]\rA=1\r\n\n"));
    ini.writeInt("S", "B", 2);
    EXPECT_EQ(ini.text(), "[S]\rA=1\r\nB=2\r\n\n");
}

TEST_F(IniFileTest, ErasingASectionKeepsTheCommentsAfterIt) {
    IniFile ini;
    ASSERT_TRUE(
        ini.loadText("[A]\nX=1\n[BPMPRESETS]\nF5BPM=1\njunk line\n\n; about B\n[B]\nY=2\n"
                     "[bpmpresets]\nZ=3\n; the end\n"));
    ini.eraseSection("BPMPRESETS");
    EXPECT_EQ(ini.text(), "[A]\nX=1\n\n; about B\n[B]\nY=2\n; the end\n");
    EXPECT_FALSE(ini.hasSection("BPMPRESETS"));
    ini.writeInt("BPMPRESETS", "F5BPM", 4);
    EXPECT_EQ(ini.readInt("BPMPRESETS", "F5BPM", 0), 4);
    EXPECT_EQ(ini.text(), "[A]\nX=1\n\n; about B\n[B]\nY=2\n\n[BPMPRESETS]\nF5BPM=4\n; the end\n");
}

namespace {

// Loads path in a child process, so that a load that blocks fails the test instead of hanging
// it. Returns the error text, or "BLOCKED".
std::string LoadErrorInChild(const std::string& file, size_t limit = IniFile::kDefinitionLimit) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        IniFile ini;
        std::string error;
        const bool loaded = ini.load(file, &error, nullptr, limit);
        const std::string result = loaded ? "loaded" : error;
        (void)!::write(pipeEnds[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    int status = 0;
    for (int waited = 0; waited < 100 && ::waitpid(child, &status, WNOHANG) == 0; ++waited)
        ::usleep(20'000);
    std::string result;
    if (::waitpid(child, &status, WNOHANG) == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        result = "BLOCKED";
    } else {
        char buffer[256];
        ssize_t n;
        while ((n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0)
            result.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeEnds[0]);
    return result;
}

long ResidentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return 0;
}

}  // namespace

TEST_F(IniFileTest, OnlyRegularFilesOfTheirSizeAreRead) {
    ASSERT_EQ(::mkfifo(path("pipe.ini").c_str(), 0600), 0);
    EXPECT_EQ(LoadErrorInChild(path("pipe.ini")), "not a regular file (a named pipe)");
    fs::create_symlink("/dev/zero", path("zero.ini"));
    EXPECT_EQ(LoadErrorInChild(path("zero.ini")), "not a regular file (a device)");

    // A definition is at most 1 MB, a settings file 4 MB.
    std::string big = "[S]\n";
    while (big.size() <= IniFile::kDefinitionLimit) big += "KEY=" + std::string(60, 'x') + "\n";
    WriteText(path("big.ini"), big);
    EXPECT_EQ(LoadErrorInChild(path("big.ini")), "File larger than 1 MB");
    EXPECT_EQ(LoadErrorInChild(path("big.ini"), IniFile::kSettingsLimit), "loaded");
    int number = 0;
    IniFile ini;
    EXPECT_FALSE(ini.load(path("big.ini"), nullptr, &number));
    EXPECT_EQ(number, EFBIG);
    EXPECT_FALSE(ini.hasSection("S"));
}

TEST_F(IniFileTest, ALargeFileIsLetGoOnceRead) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's allocator holds freed memory back on purpose";
#endif
    // The most a settings file may hold, in the shape that costs most: a short key a line.
    std::string text = "[APPLICATION_PRESETS]\n";
    for (int i = 0; text.size() < IniFile::kSettingsLimit - 32; ++i)
        text += "K" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    text += "DEFAULTSPEED=131\n";
    WriteText(path("settings.ini"), text);
    text = std::string();
    const long before = ResidentKilobytes();
    {
        IniFile ini;
        ASSERT_TRUE(ini.load(path("settings.ini"), nullptr, nullptr, IniFile::kSettingsLimit));
        EXPECT_DOUBLE_EQ(ini.readFloat("APPLICATION_PRESETS", "DEFAULTSPEED", 0), 131);
        ini.writeInt("APPLICATION_PRESETS", "NEWKEY", 1);
        EXPECT_EQ(ini.readInt("APPLICATION_PRESETS", "K1000", 0), 1000);
    }
    // What the reader held goes back to the system, not merely to the allocator.
    EXPECT_LT(ResidentKilobytes() - before, 2048);
}

TEST_F(IniFileTest, SaveKeepsOwnerAndGroup) {
    WriteText(path("settings.ini"), kEditedFile);
    // Root gives the file back to its owner; anyone else can keep a group of their own.
    const bool root = ::geteuid() == 0;
    gid_t group = ::getegid();
    if (!root) {
        gid_t groups[64];
        const int count = ::getgroups(64, groups);
        for (int i = 0; i < count; ++i)
            if (groups[i] != ::getegid()) group = groups[i];
        if (group == ::getegid()) GTEST_SKIP() << "no second group to give the file";
    }
    const uid_t owner = root ? 4321 : ::geteuid();
    if (root) group = 5432;
    ASSERT_EQ(::chown(path("settings.ini").c_str(), owner, group), 0);
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    ini.writeInt("BPM_PRESETS", "F5BPM", 90);
    ASSERT_TRUE(ini.save(path("settings.ini")));
    struct stat info {};
    ASSERT_EQ(::stat(path("settings.ini").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, owner);
    EXPECT_EQ(info.st_gid, group);
}

TEST_F(IniFileTest, TemporariesOfAKilledSaveAreRemoved) {
    WriteText(path("settings.ini"), kEditedFile);
    // A process that has ended, whose number nothing uses now.
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string own = std::to_string(::getpid());
    const std::string parent = std::to_string(::getppid());
    const auto temporary = [&](const std::string& name) {
        WriteText(path(name), "[APPLICATION_PRESETS]\nDEFAULTSPEED=1");
        return name;
    };
    const std::string stale = temporary("settings.ini.tmp-" + std::to_string(gone) + "-3");
    // The number of a process that started long after the file was last written: used again.
    const std::string reused = temporary("settings.ini.tmp-" + parent + "-0");
    const timespec longAgo[2] = {{946684800, 0}, {946684800, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path(reused).c_str(), longAgo, 0), 0);
    // Kept: a save under way in a live process, our own, another file's, other names.
    const std::string live = temporary("settings.ini.tmp-" + parent + "-1");
    const std::string mine = temporary("settings.ini.tmp-" + own + "-7");
    const std::string other = temporary("other.ini.tmp-" + std::to_string(gone) + "-1");
    const std::string notOurs = temporary("settings.ini.tmp-" + std::to_string(gone) + "-x");

    EXPECT_EQ(IniFile::RemoveStaleTemporaries(path("settings.ini")), 2);
    std::vector<std::string> kept = {mine, live, other, notOurs, "settings.ini"};
    std::sort(kept.begin(), kept.end());
    const auto names = folderContents();
    EXPECT_EQ(names, kept);

    // A save clears them too.
    temporary("settings.ini.tmp-" + std::to_string(gone) + "-4");
    IniFile ini;
    ASSERT_TRUE(ini.load(path("settings.ini")));
    ASSERT_TRUE(ini.save(path("settings.ini")));
    EXPECT_EQ(folderContents().size(), names.size());
}

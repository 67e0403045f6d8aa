// Definitions as users write and copy them: upper-case file names, and values that would make
// malformed MIDI. A device only ever receives well-formed messages; the status line names the
// definition and key that is wrong.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "midiout/device_definition.h"
#include "support/model_rig.h"

namespace {

struct DefinitionCheckTest : ::testing::Test {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;

    // Loads type on port 1, open on "synth", and returns what the device received.
    std::vector<std::string> load(const std::string& type, const std::string& keys) {
        rig.writeDefinition(type, "[DEVICECONFIGURATION]\n" + keys);
        rig.relistTypes();
        rig.openPort1();
        rig.memory->clearMessages();
        m.state.StatusChanges = 0;
        ModelRig::chooseType(m.out1Controls, rig.port1(), type);
        return rig.sent("synth");
    }
    std::string status() const { return m.state.PendingStatus().text; }
};

const std::string kSysex = "device_sysex_enable=1\n";
const std::string kTempo =
    "device_sysextemposet1_string=F0 7D 01\ndevice_sysextemposet2_string=F7\n";

}  // namespace

TEST_F(DefinitionCheckTest, FilesWithUpperCaseExtensionsAreReadFromTheFileListed) {
    rig.folder.write("outdrv/LOUD.INI", "[DEVICECONFIGURATION]\ndevice_clockoutput_enable=0\n");
    rig.folder.write("outdrv/mixed.Ini", "[DEVICECONFIGURATION]\ndevice_ctrlout_enable=1\n");
    rig.relistTypes();
    EXPECT_EQ(m.out1Controls.deviceType.items(),
              (std::vector<std::string>{"LOUD", "mixed", "Tempovane"}));
    ModelRig::chooseType(m.out1Controls, rig.port1(), "LOUD");
    EXPECT_EQ(rig.port1().DefinitionPath(), rig.folder.path() + "outdrv/LOUD.INI");
    EXPECT_FALSE(rig.port1().Definition().clockOutputEnable);  // the built-in type sends clock
    ModelRig::chooseType(m.out1Controls, rig.port1(), "mixed");
    EXPECT_TRUE(rig.port1().Definition().ctrlOutEnable);

    // The exact name wins where both spellings exist, and the type is listed once.
    rig.folder.write("outdrv/mixed.ini", "[DEVICECONFIGURATION]\ndevice_sysex_enable=1\n");
    rig.relistTypes();
    EXPECT_EQ(ModelRig::count(m.out1Controls.deviceType.items(), "mixed"), 1);
    EXPECT_EQ(DefinitionFilePath(rig.folder.path() + "outdrv/", "mixed"),
              rig.folder.path() + "outdrv/mixed.ini");
    // A type with no file keeps the plain name (the built-in type reads nothing).
    EXPECT_EQ(DefinitionFilePath(rig.folder.path() + "outdrv/", "Tempovane"),
              rig.folder.path() + "outdrv/Tempovane.ini");
}

TEST_F(DefinitionCheckTest, WellFormedStringsStillGoOutAsWritten) {
    const auto sent = load("Good", kSysex + kTempo +
                                       "device_sysexinit_string=F0 41 10 42 12 7 F7\n"
                                       "device_sysexrelease_string=f07d\t11f7\n");
    EXPECT_EQ(sent, (std::vector<std::string>{"F0 41 10 42 12 07 F7", "F0 7D 01 78 00 F7"}));
    EXPECT_EQ(m.state.StatusChanges.load(), 0);
    rig.port1().SendRelease();
    ASSERT_FALSE(rig.sent("synth").empty());
    EXPECT_EQ(rig.sent("synth").back(), "F0 7D 11 F7");
}

TEST_F(DefinitionCheckTest, SystemExclusiveThatWouldBeMalformedIsNotSent) {
    struct Case {
        std::string keys;
        std::string status;
    };
    std::string tooLong = "F0";
    for (int i = 0; i < 499; ++i) tooLong += " 01";
    tooLong += " F7";  // 501 bytes: cutting it would lose the F7
    // A wrong init string: it is not sent, the good tempo message still is.
    const std::vector<Case> initCases = {
        {"ZZ QQ GG F0 7D 01 F7", "is not hex text"},
        {"F0 7D,01 F7", "is not hex text"},
        {tooLong, "is longer than 500 bytes"},
        {"7D 01 F7", "does not begin with F0"},
        {"F0 7D 01", "does not end with F7"},
        {"F0 7D F8 01 F7", "has a status byte inside"},
        {"F0 7D F7 F0 01 F7", "has a status byte inside"},
    };
    for (const Case& c : initCases) {
        SCOPED_TRACE(c.keys);
        const auto sent = load("Bad", kSysex + kTempo + "device_sysexinit_string=" + c.keys + "\n" +
                                          "device_sysexrelease_string=" + c.keys + "\n");
        EXPECT_EQ(sent, (std::vector<std::string>{"F0 7D 01 78 00 F7"}));
        // The release string is as wrong: the line counts it, the detail tells it.
        EXPECT_EQ(status(), "Bad: device_sysexinit_string " + c.status + " (+1 more)");
        EXPECT_NE(m.state.PendingStatus().detail.find("device_sysexrelease_string " + c.status),
                  std::string::npos);
        EXPECT_EQ(m.state.StatusChanges.load(), 1);  // said once, as the definition loaded
        rig.memory->clearMessages();
        rig.port1().SendRelease();
        EXPECT_TRUE(rig.sent("synth").empty());
        ModelRig::chooseType(m.out1Controls, rig.port1(), "Tempovane");
    }
    // Wrong tempo strings: no tempo message at all, now or at later tempo changes.
    const std::vector<Case> tempoCases = {
        {"device_sysextemposet1_string=7D 01\ndevice_sysextemposet2_string=F7\n",
         "device_sysextemposet1_string does not begin with F0"},
        {"device_sysextemposet1_string=F0 7D 01\ndevice_sysextemposet2_string=F7 00\n",
         "device_sysextemposet2_string does not end with F7"},
        {"device_sysextemposet1_string=F0 7D 01\ndevice_sysextemposet2_string=FE F7\n",
         "device_sysextemposet2_string has a status byte inside"},
        {"device_sysextemposet1_string=F0 7D 01\ndevice_sysextemposet2_string=F7 QQ\n",
         "device_sysextemposet2_string is not hex text"},
        {"device_sysextemposet1_string=" + tooLong.substr(0, tooLong.size() - 3) +
             "\ndevice_sysextemposet2_string=F7\n",
         "device_sysextemposet1_string is longer than 500 bytes"},
    };
    for (const Case& c : tempoCases) {
        SCOPED_TRACE(c.keys);
        EXPECT_TRUE(load("Bad", kSysex + c.keys).empty());
        EXPECT_EQ(status(), "Bad: " + c.status);
        EXPECT_EQ(m.state.StatusChanges.load(), 1);
        m.SetBPM(121);
        EXPECT_TRUE(rig.sent("synth").empty());
        ModelRig::chooseType(m.out1Controls, rig.port1(), "Tempovane");
    }
}

TEST_F(DefinitionCheckTest, ANulByteInATempoStringRefusesTheStringAndKeepsTheRest) {
    std::string keys = kSysex + "device_sysextemposet1_string=F0 7D";
    keys += '\0';
    keys += " 01\ndevice_sysextemposet2_string=F7\ndevice_clockoutput_enable=1\n";
    const auto sent = load("Nul", keys);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(status(), "Nul: device_sysextemposet1_string is not hex text");
    // The keys after the NUL are still read.
    EXPECT_TRUE(rig.port1().Definition().clockOutputEnable);
}

TEST_F(DefinitionCheckTest, ATempoValueThatDoesNotFitTwoDataBytesIsNotSent) {
    load("Offset", kSysex + kTempo + "device_sysex_valoffset=200\n");
    rig.memory->clearMessages();
    m.SetBPM(150);  // 150 - 200 < 0: no two 7-bit halves can carry it
    EXPECT_TRUE(rig.sent("synth").empty());
    m.SetBPM(210);
    EXPECT_EQ(rig.sent("synth"), (std::vector<std::string>{"F0 7D 01 0A 00 F7"}));
}

TEST_F(DefinitionCheckTest, ChannelsAndControllersOutOfRangeAreRefused) {
    const std::string cc = "device_ctrlout_enable=1\n";
    struct Case {
        std::string keys;
        std::string status;
    };
    for (const Case& c : std::vector<Case>{
             {cc + "device_ctrlout_midichannel=16\n",
              "Bad: device_ctrlout_midichannel is not a channel 0-15"},
             {cc + "device_ctrlout_midichannel=300\ndevice_ctrlout_midictrl=-5\n",
              "Bad: device_ctrlout_midichannel is not a channel 0-15 (+1 more)"},
             {cc + "device_ctrlout_midichannel=-1\n",
              "Bad: device_ctrlout_midichannel is not a channel 0-15"},
             {cc + "device_ctrlout_midictrl=128\n",
              "Bad: device_ctrlout_midictrl is not a controller 0-127"},
             {"device_tracks_enable=1\ndevice_tracks_channel=16\n",
              "Bad: device_tracks_channel is not a channel 0-15"},
             {"device_tracks_enable=1\ndevice_tracks_programchange=200\n",
              "Bad: device_tracks_programchange is not a program 0-127"},
         }) {
        SCOPED_TRACE(c.keys);
        EXPECT_TRUE(load("Bad", c.keys).empty());
        EXPECT_EQ(status(), c.status);
        rig.memory->clearMessages();
        m.SetBPM(133);
        EXPECT_TRUE(rig.sent("synth").empty());
        ModelRig::chooseType(m.out1Controls, rig.port1(), "Tempovane");
    }
    // The edges of the ranges are fine, and a wrong value under a switched-off feature is no
    // fault of anything sent.
    // (133 BPM is past the top of the controller's range.)
    EXPECT_EQ(load("Edge", cc + "device_ctrlout_midichannel=15\ndevice_ctrlout_midictrl=127\n"),
              (std::vector<std::string>{"BF 7F 7F"}));
    EXPECT_EQ(m.state.StatusChanges.load(), 0);
    EXPECT_TRUE(load("Off", "device_ctrlout_midichannel=300\n").empty());
    EXPECT_EQ(m.state.StatusChanges.load(), 0);
}

TEST(StrictHex, ReadsWhatTheLaxReaderReadsAndRefusesTheRest) {
    uint8_t bytes[8];
    HexReading r = HexToBytesStrict("F0 41 10 42 12 7 F7", bytes, 8);
    ASSERT_EQ(r.problem, HexProblem::None);
    ASSERT_EQ(r.count, 7);
    EXPECT_EQ(bytes[5], 0x07);
    r = HexToBytesStrict("F07F 7", bytes, 8);  // pairs need no gap; a last lone digit counts
    ASSERT_EQ(r.count, 3);
    EXPECT_EQ(bytes[1], 0x7F);
    EXPECT_EQ(bytes[2], 0x07);
    EXPECT_EQ(HexToBytesStrict("", bytes, 8).count, 0);
    EXPECT_EQ(HexToBytesStrict(" \t ", bytes, 8).problem, HexProblem::None);
    EXPECT_EQ(HexToBytesStrict("G1", bytes, 8).problem, HexProblem::NotHex);
    EXPECT_EQ(HexToBytesStrict("1G", bytes, 8).problem, HexProblem::NotHex);
    EXPECT_EQ(HexToBytesStrict("01 02 03", bytes, 2).problem, HexProblem::TooLong);
    EXPECT_EQ(HexToBytesStrict("01 02", bytes, 2).problem, HexProblem::None);
}

// A file of something else where a definition belongs acts as the built-in type (plain clock)
// and is named for what it is, instead of passing for a definition.
TEST_F(DefinitionCheckTest, AFileThatIsNoDefinitionIsNamedAndSendsClockOnly) {
    using namespace std::string_literals;
    rig.folder.write("outdrv/Junk.ini",
                     "\x7F"
                     "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0"s);
    rig.folder.write("outdrv/Notes.ini", "shopping list\nmilk=2\n");
    rig.relistTypes();
    rig.openPort1();
    ModelRig::chooseType(m.out1Controls, rig.port1(), "Junk");
    EXPECT_EQ(status(), "Junk: is not a device definition (binary content); clock only");
    EXPECT_TRUE(rig.port1().Definition().clockOutputEnable);
    ModelRig::chooseType(m.out1Controls, rig.port1(), "Notes");
    EXPECT_EQ(status(),
              "Notes: is not a device definition (no [DEVICECONFIGURATION] section); clock only");
}

// A named pipe or a device under a definition's name is never opened for reading (that would
// wait for ever or never end): the type reads as not readable.
TEST_F(DefinitionCheckTest, ANamedPipeOrADeviceIsNotRead) {
    ASSERT_EQ(::mkfifo(rig.folder.file("outdrv/Pipe.ini").c_str(), 0600), 0);
    const OutputDeviceDefinition pipe =
        ReadOutputDeviceDefinition(rig.folder.file("outdrv/Pipe.ini"));
    EXPECT_EQ(pipe.problems,
              std::vector<std::string>{
                  "could not be read: not a regular file (a named pipe); clock only"});
    EXPECT_TRUE(pipe.clockOutputEnable);
    const OutputDeviceDefinition zero = ReadOutputDeviceDefinition("/dev/zero");
    EXPECT_EQ(zero.problems, std::vector<std::string>{
                                 "could not be read: not a regular file (a device); clock only"});
}

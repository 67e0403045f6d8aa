#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "platform/file_locations.h"
#include "support/model_rig.h"

namespace {
GetEnv Env(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const char* name) -> const char* {
        const auto it = values.find(name);
        return it == values.end() ? nullptr : it->second.c_str();
    };
}
}  // namespace

TEST(FileLocations, BuildFolderKeepsEverythingBesideTheProgram) {
    TempFolder folder;
    std::filesystem::create_directories(folder.path() + "indrv");
    const FileLocations l = LocateFiles(folder.path(), Env({{"HOME", "/home/x"}}));
    EXPECT_FALSE(l.installed);
    EXPECT_EQ(l.userFolder, folder.path());
    EXPECT_EQ(l.outputDefinitions, "outdrv/");  // relative to the current directory, as before
    EXPECT_EQ(l.inputDefinitions, folder.path() + "indrv/");
    EXPECT_EQ(l.shippedOutputDefinitions, "");
    EXPECT_EQ(l.shippedInputDefinitions, "");
    EXPECT_TRUE(PrepareUserFolder(l));
}

TEST(FileLocations, InstalledProgramKeepsUserFilesInTheConfigFolder) {
    TempFolder prefix;
    std::filesystem::create_directories(prefix.path() + "bin");
    std::filesystem::create_directories(prefix.path() + "share/tempovane/outdrv");
    // Writable bin/ (as /usr/bin is for root) without definitions of its own: installed.
    const FileLocations l =
        LocateFiles(prefix.path() + "bin", Env({{"XDG_CONFIG_HOME", prefix.path() + "cfg"}}));
    EXPECT_TRUE(l.installed);
    EXPECT_EQ(l.programFolder, prefix.path() + "bin/");
    EXPECT_EQ(l.userFolder, prefix.path() + "cfg/tempovane/");
    EXPECT_EQ(l.outputDefinitions, prefix.path() + "cfg/tempovane/outdrv/");
    EXPECT_EQ(l.inputDefinitions, prefix.path() + "cfg/tempovane/indrv/");
    EXPECT_EQ(l.shippedOutputDefinitions, prefix.path() + "share/tempovane/outdrv/");
    EXPECT_EQ(l.shippedInputDefinitions, prefix.path() + "share/tempovane/indrv/");
    EXPECT_EQ(l.installedGuide, prefix.path() + "share/doc/tempovane/README.md");

    ASSERT_TRUE(PrepareUserFolder(l));
    EXPECT_TRUE(std::filesystem::is_directory(l.outputDefinitions));
    EXPECT_TRUE(std::filesystem::is_directory(l.inputDefinitions));
}

TEST(FileLocations, ConfigFolderFollowsTheXdgRules) {
    EXPECT_EQ(ConfigFolder(Env({{"XDG_CONFIG_HOME", "/x/cfg"}, {"HOME", "/home/u"}})),
              "/x/cfg/tempovane/");
    EXPECT_EQ(ConfigFolder(Env({{"XDG_CONFIG_HOME", "/x/cfg/"}})), "/x/cfg/tempovane/");
    // A relative or empty XDG_CONFIG_HOME is ignored.
    EXPECT_EQ(ConfigFolder(Env({{"XDG_CONFIG_HOME", "cfg"}, {"HOME", "/home/u"}})),
              "/home/u/.config/tempovane/");
    EXPECT_EQ(ConfigFolder(Env({{"XDG_CONFIG_HOME", ""}, {"HOME", "/home/u/"}})),
              "/home/u/.config/tempovane/");
    // Without HOME the account's home folder stands in: still an absolute path.
    const std::string fallback = ConfigFolder(Env({}));
    ASSERT_FALSE(fallback.empty());
    EXPECT_EQ(fallback.front(), '/');
    EXPECT_NE(fallback.find("/.config/tempovane/"), std::string::npos);
}

TEST(FileLocations, ReadOnlyCopyWithDefinitionsReadsItsOwnAndSavesToTheConfigFolder) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    TempFolder folder;
    std::filesystem::create_directories(folder.path() + "outdrv");
    chmod(folder.path().c_str(), 0555);
    const FileLocations l = LocateFiles(folder.path(), Env({{"HOME", "/home/u"}}));
    chmod(folder.path().c_str(), 0755);
    EXPECT_TRUE(l.installed);
    EXPECT_EQ(l.userFolder, "/home/u/.config/tempovane/");
    EXPECT_EQ(l.shippedOutputDefinitions, folder.path() + "outdrv/");
}

TEST(FileLocations, UserFolderThatCannotBeMadeIsReported) {
    TempFolder folder;
    folder.write("cfg", "a file where the folder should go");
    FileLocations l;
    l.installed = true;
    l.userFolder = folder.path() + "cfg/tempovane/";
    std::string error;
    EXPECT_FALSE(PrepareUserFolder(l, &error));
    EXPECT_NE(error.find(l.userFolder), std::string::npos) << error;
}

TEST(FileLocations, ExecutableFolderIsAbsoluteAndHoldsThisProgram) {
    const std::string folder = ExecutableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.front(), '/');
    EXPECT_EQ(folder.back(), '/');
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

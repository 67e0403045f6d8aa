#pragma once

#include <functional>
#include <string>

// Where the program finds its shipped definitions and keeps the user's files. Run from a folder
// that holds the definitions and can be written (the build folder, an unpacked copy), everything
// lives there as it always has. Installed (bin/ with share/tempovane/ beside it, or a folder the
// user cannot write), the user's files go to $XDG_CONFIG_HOME/tempovane/ and the shipped
// definitions are read from share/tempovane/ after the user's own of the same name.
struct FileLocations {
    bool installed = false;
    std::string programFolder;  // the executable's folder, ending in '/'
    // Settings file, patches, skins, and definitions the user makes: the program folder when
    // run in place, the configuration folder when installed. Ends in '/'.
    std::string userFolder;
    // Searched first; new and edited definitions go here. Output definitions stay relative to
    // the current directory when run in place ("outdrv/"), as the run command expects.
    std::string outputDefinitions;
    std::string inputDefinitions;
    // Read-only shipped definitions searched after the above; "" when run in place.
    std::string shippedOutputDefinitions;
    std::string shippedInputDefinitions;
    // The README installed with the program, "" when run in place.
    std::string installedGuide;
};

// Environment lookup, replaceable in tests.
using GetEnv = std::function<const char*(const char*)>;

// The locations for a program in programFolder. Installed when the folder holds no definition
// folders of its own (indrv/ or outdrv/) or cannot be written; root can write /usr/bin, yet a
// program there is installed. Creates nothing.
FileLocations LocateFiles(const std::string& programFolder, const GetEnv& env);
FileLocations LocateFiles(const std::string& programFolder);

// $XDG_CONFIG_HOME/tempovane/ (an absolute path only, as the XDG rules say), else
// $HOME/.config/tempovane/, else the home folder of the user's account. Ends in '/'.
std::string ConfigFolder(const GetEnv& env);

// Creates the user's folder and its definition folders when installed, so the first save finds
// them. False, with the reason in *error, when the user's folder cannot be made.
bool PrepareUserFolder(const FileLocations& locations, std::string* error = nullptr);

// The folder of the running executable (from /proc/self/exe), ending in '/'; "./" when unknown.
std::string ExecutableFolder();

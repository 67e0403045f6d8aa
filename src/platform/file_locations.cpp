#include "platform/file_locations.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {
std::string WithSlash(std::string folder) {
    if (folder.empty()) return "./";
    if (folder.back() != '/') folder += '/';
    return folder;
}

bool IsFolder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

std::string AccountHome() {
    const passwd* entry = getpwuid(getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}
}  // namespace

std::string ConfigFolder(const GetEnv& env) {
    const char* xdg = env("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return WithSlash(xdg) + "tempovane/";
    const char* home = env("HOME");
    std::string base = home && home[0] != '\0' ? home : AccountHome();
    if (base.empty()) base = "/tmp";  // no home at all: still somewhere to keep the session
    return WithSlash(base) + ".config/tempovane/";
}

FileLocations LocateFiles(const std::string& programFolder, const GetEnv& env) {
    FileLocations l;
    l.programFolder = WithSlash(programFolder);
    const bool ownDefinitions =
        IsFolder(l.programFolder + "indrv") || IsFolder(l.programFolder + "outdrv");
    const bool writable = access(l.programFolder.c_str(), W_OK) == 0;
    if (ownDefinitions && writable) {
        l.userFolder = l.programFolder;
        l.outputDefinitions = "outdrv/";
        l.inputDefinitions = l.programFolder + "indrv/";
        return l;
    }
    l.installed = true;
    l.userFolder = ConfigFolder(env);
    l.outputDefinitions = l.userFolder + "outdrv/";
    l.inputDefinitions = l.userFolder + "indrv/";
    // A read-only copy that carries its definitions uses those; otherwise the share folder of
    // the prefix the program was installed to.
    std::string shipped = l.programFolder;
    std::string guide = l.programFolder + "README.md";
    if (!ownDefinitions) {
        std::error_code ec;
        const fs::path prefix = fs::weakly_canonical(fs::path(l.programFolder) / "..", ec);
        const std::string base =
            WithSlash((ec ? fs::path(l.programFolder + "..") : prefix).string());
        shipped = base + "share/tempovane/";
        guide = base + "share/doc/tempovane/README.md";
    }
    l.shippedOutputDefinitions = shipped + "outdrv/";
    l.shippedInputDefinitions = shipped + "indrv/";
    l.installedGuide = guide;
    return l;
}

FileLocations LocateFiles(const std::string& programFolder) {
    return LocateFiles(programFolder, [](const char* name) { return std::getenv(name); });
}

bool PrepareUserFolder(const FileLocations& locations, std::string* error) {
    if (!locations.installed) return true;
    std::error_code ec;
    fs::create_directories(locations.userFolder, ec);
    if (ec) {
        if (error) *error = locations.userFolder + ": " + ec.message();
        return false;
    }
    // Where the user's own definitions go; a failure here only shows when one is saved.
    fs::create_directories(locations.outputDefinitions, ec);
    fs::create_directories(locations.inputDefinitions, ec);
    return true;
}

std::string ExecutableFolder() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "./";
    return WithSlash(self.parent_path().string());
}

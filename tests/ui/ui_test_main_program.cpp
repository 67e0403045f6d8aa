// The window program as a user types it into a terminal: a process of its own, without any
// display, started in a folder of its own. What the command line asks must be answered before
// anything needs a display, and nothing of it may become a file.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "support/bounded_wait.h"
#include "support/model_rig.h"

extern char** environ;

namespace {

struct Outcome {
    int status = -1;  // the wait status
    std::string out, err;
};

// Runs the program in folder with stdout and stderr to files there, and no display to find:
// the variables that name one are left out of its environment.
Outcome RunProgram(const std::vector<std::string>& arguments, TempFolder& folder) {
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const bool display = entry.rfind("DISPLAY=", 0) == 0 ||
                             entry.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
                             entry.rfind("QT_QPA_PLATFORM=", 0) == 0;
        if (!display) environment.push_back(entry);
    }
    std::vector<std::string> argv = {TEMPOVANE_WINDOW_PROGRAM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> argp, envp;
    for (std::string& a : argv) argp.push_back(a.data());
    for (std::string& e : environment) envp.push_back(e.data());
    argp.push_back(nullptr);
    envp.push_back(nullptr);
    const std::string outPath = folder.file("stdout.txt"), errPath = folder.file("stderr.txt");
    const std::string where = folder.path();  // the child may not allocate
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(where.c_str()) != 0)
            _exit(127);
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    Outcome outcome;
    if (pid < 0) return outcome;
    const std::optional<int> status = testwait::ChildEnds(pid);
    EXPECT_TRUE(status) << "the program did not end within the patience";
    outcome.status = status.value_or(-1);
    outcome.out = folder.read("stdout.txt");
    outcome.err = folder.read("stderr.txt");
    std::filesystem::remove(outPath);
    std::filesystem::remove(errPath);
    return outcome;
}

int ExitStatus(const Outcome& o) {
    return WIFEXITED(o.status) ? WEXITSTATUS(o.status) : -1000 - WTERMSIG(o.status);
}

bool FolderEmpty(const TempFolder& folder) {
    return std::filesystem::is_empty(folder.path());
}

}  // namespace

TEST(MainProgram, HelpAndVersionAnswerOnStandardOutputWithoutADisplay) {
    TempFolder folder;
    for (const char* help : {"--help", "-h"}) {
        const Outcome o = RunProgram({help}, folder);
        EXPECT_EQ(ExitStatus(o), 0) << help << ": " << o.err;
        EXPECT_EQ(o.out, kCommandLineUsage) << help;
        EXPECT_EQ(o.err, "") << help;
    }
    const Outcome version = RunProgram({"--version"}, folder);
    EXPECT_EQ(ExitStatus(version), 0) << version.err;
    EXPECT_EQ(version.out, VersionText());
    // Neither became the name of a settings file, nor of its lock.
    EXPECT_TRUE(FolderEmpty(folder));
}

TEST(MainProgram, UnknownOptionsAreRefusedWithStatusTwoAndMakeNoFile) {
    TempFolder folder;
    for (const char* wrong : {"--help.lock", "--bogus", "-x", "--start"}) {
        const Outcome o = RunProgram({wrong}, folder);
        EXPECT_EQ(ExitStatus(o), 2) << wrong << ": " << o.err;
        EXPECT_EQ(o.out, "") << wrong;
        EXPECT_EQ(o.err.rfind("tempovane: ", 0), 0u) << o.err;
        EXPECT_NE(o.err.find(wrong), std::string::npos) << o.err;
        EXPECT_NE(o.err.find(kCommandLineHint), std::string::npos) << o.err;
    }
    EXPECT_TRUE(FolderEmpty(folder));
}

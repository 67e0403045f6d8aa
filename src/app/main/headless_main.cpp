// tempovane-headless: the clock without a window, on the core alone (no Qt). The window program
// hands "--headless" and "--list-ports" command lines over to it, so it also runs on a box
// without a display or Qt's display libraries in use.
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/headless.h"
#include "platform/exit_deadline.h"
#include "platform/file_locations.h"
#include "platform/midi_system.h"

namespace {
// SIGINT and SIGTERM are blocked in every thread (they inherit the mask) and taken here
// synchronously: no handler runs in the middle of a JACK call or an allocation.
sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

bool WaitForStopSignal(const sigset_t& set, int timeoutMs) {
    const timespec timeout{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1'000'000};
    return sigtimedwait(&set, nullptr, &timeout) > 0;
}
}  // namespace

int main(int argc, char** argv) {
    const sigset_t stopSignals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const std::vector<std::string> arguments(argv, argv + argc);
    CommandLine line;
    std::string error;
    if (!ParseCommandLine(arguments, Program::Headless, line, &error)) {
        std::cerr << "tempovane: " << error << '\n' << kCommandLineHint;
        return 2;
    }
    if (line.action == CommandLine::Action::Help) {
        std::cout << kCommandLineUsage;
        return 0;
    }
    if (line.action == CommandLine::Action::Version) {
        std::cout << VersionText();
        return 0;
    }
    const FileLocations locations = LocateFiles(ExecutableFolder());
    if (line.action == CommandLine::Action::ListPorts) {
        const auto midi = MidiSystem::CreateDefault();
        return Headless::ListPorts(*midi, locations, std::cout, std::cerr);
    }
    Headless::Options options;
    options.start = line.start;
    options.transport = line.transport;
    options.settingsFile = line.settingsFile;
    Headless::Environment environment;
    environment.locations = locations;
    environment.makeMidi = [] { return MidiSystem::CreateDefault(); };
    environment.joinSession = Headless::JoinLinkSession;
    environment.waitForStop = [&stopSignals](int timeoutMs) {
        if (!WaitForStopSignal(stopSignals, timeoutMs)) return false;
        // Whatever the sound server does, the program is gone within two seconds of the signal.
        ArmExitDeadline(kExitBudget, 0);
        return true;
    };
    return Headless::Run(options, environment, std::cerr);
}

// Program entry: the application, its three windows in their order, and a clean close on
// SIGINT and SIGTERM. The command line is read before anything of Qt starts: --help, --version
// and a refused option need no display, and headless runs and the port list are handed to
// tempovane-headless, which needs none either.
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/settings_file.h"
#include "platform/exit_deadline.h"
#include "platform/file_locations.h"
#include "platform/midi_system.h"
#include "ui/adapters/message_box_qt.h"
#include "ui/adapters/settings_claim_qt.h"
#include "ui/adapters/termination_signals_qt.h"
#include "ui/display/help_form.h"
#include "ui/stats/statistics_form.h"
#include "ui/window/korvid_main.h"

int main(int argc, char** argv) {
    CommandLine line;
    std::string error;
    if (!ParseCommandLine(std::vector<std::string>(argv, argv + argc), Program::Window, line,
                          &error)) {
        std::fprintf(stderr, "tempovane: %s\n%s", error.c_str(), kCommandLineHint);
        return 2;
    }
    if (line.action == CommandLine::Action::Help) {
        std::fputs(kCommandLineUsage, stdout);
        return 0;
    }
    if (line.action == CommandLine::Action::Version) {
        std::fputs(VersionText().c_str(), stdout);
        return 0;
    }
    if (line.action != CommandLine::Action::Window) {
        const std::string core = ExecutableFolder() + "tempovane-headless";
        execv(core.c_str(), argv);
        std::fprintf(stderr, "tempovane: cannot start %s: %s\n", core.c_str(),
                     std::strerror(errno));
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TEMPOVANE"));
    // Ties the window to its menu entry (and icon) on desktops that match them by name.
    QGuiApplication::setDesktopFileName(QStringLiteral("tempovane"));
    QApplication::setQuitOnLastWindowClosed(true);
    try {
        TKorvidMain::Options options;
        // In place (the build folder) everything lives beside the program; installed, the
        // user's files live in the configuration folder and the shipped ones in share/.
        const FileLocations locations =
            LocateFiles(QApplication::applicationDirPath().toStdString());
        PrepareUserFolder(locations);  // a folder that cannot be made shows when a save fails
        options.programFolder = QString::fromStdString(locations.userFolder);
        options.definitionFolder = QString::fromStdString(locations.outputDefinitions);
        options.shippedOutputFolder = QString::fromStdString(locations.shippedOutputDefinitions);
        options.shippedInputFolder = QString::fromStdString(locations.shippedInputDefinitions);
        options.installedGuide = QString::fromStdString(locations.installedGuide);
        options.settingsArgument = QString::fromLocal8Bit(line.settingsFile.c_str());
        // Whatever the sound server does, the program is gone within two seconds of the close.
        options.closing = [] { ArmExitDeadline(kExitBudget, 0); };
        // Two instances on one settings file would drive the same devices twice over.
        const auto settingsLock = ClaimSettingsFile(
            QString::fromStdString(SettingsFile::Location(options.programFolder.toStdString(),
                                                          options.settingsArgument.toStdString())),
            [](const QString& caption, const QString& text) {
                ShowMessageBox(nullptr, QMessageBox::Information, caption, text);
            });
        if (!settingsLock) return 1;
        TKorvidMain window(MidiSystem::CreateDefault(), options);
        THelpForm help(&window);
        TStatisticsForm stats(&window);
        window.SetSecondaryWindows(&help, &stats);
        TerminationSignals closeOnSignals([&window] { window.CloseWithoutQuestions(); });
        window.show();
        app.exec();
    } catch (const std::exception& e) {
        ShowMessageBox(nullptr, QMessageBox::Critical, QStringLiteral("TEMPOVANE"),
                       QString::fromLocal8Bit(e.what()));
    }
    return 0;
}

// Program entry: the application, its three windows in their order, and a clean close on
// SIGINT and SIGTERM. Headless runs and the port list are handed to tempovane-headless before
// anything of Qt starts, so they need no display.
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>

#include "app/settings_file.h"
#include "platform/file_locations.h"
#include "platform/midi_system.h"
#include "ui/adapters/message_box_qt.h"
#include "ui/adapters/settings_claim_qt.h"
#include "ui/adapters/termination_signals_qt.h"
#include "ui/display/help_form.h"
#include "ui/stats/statistics_form.h"
#include "ui/window/korvid_main.h"

namespace {
bool WantsCoreOnly(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--headless" || argument == "--list-ports") return true;
    }
    return false;
}
}  // namespace

int main(int argc, char** argv) {
    if (WantsCoreOnly(argc, argv)) {
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
        if (argc > 1) options.settingsArgument = QString::fromLocal8Bit(argv[1]);
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

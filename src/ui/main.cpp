// Program entry: the application, its three windows in their order, and a clean close on
// SIGINT and SIGTERM.
#include <QApplication>
#include <QMessageBox>
#include <exception>

#include "app/settings_file.h"
#include "ui/adapters/settings_claim_qt.h"
#include "ui/adapters/termination_signals_qt.h"
#include "ui/window/korvid_main.h"
#include "ui/display/help_form.h"
#include "platform/midi_system.h"
#include "ui/stats/statistics_form.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TEMPOVANE"));
    QApplication::setQuitOnLastWindowClosed(true);
    try {
        TKorvidMain::Options options;
        options.programFolder = QApplication::applicationDirPath();
        if (argc > 1) options.settingsArgument = QString::fromLocal8Bit(argv[1]);
        // Two instances on one settings file would drive the same devices twice over.
        const auto settingsLock = ClaimSettingsFile(
            QString::fromStdString(SettingsFile::Location(options.programFolder.toStdString(),
                                                          options.settingsArgument.toStdString())),
            [](const QString& caption, const QString& text) {
                QMessageBox::information(nullptr, caption, text);
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
        QMessageBox::critical(nullptr, QStringLiteral("TEMPOVANE"),
                              QString::fromLocal8Bit(e.what()));
    }
    return 0;
}

// Program entry: the application, its three windows in their order, and a clean close on
// SIGINT and SIGTERM.
#include <sys/socket.h>
#include <unistd.h>
#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <csignal>
#include <exception>

#include "ui/window/korvid_main.h"
#include "ui/display/help_form.h"
#include "platform/midi_system.h"
#include "ui/stats/statistics_form.h"

namespace {
int signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

// Turns SIGINT/SIGTERM into a close on the UI thread, where it is safe.
void CloseOnSignals(TKorvidMain& window) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[1], &byte, 1);
        window.CloseWithoutQuestions();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TEMPOVANE"));
    QApplication::setQuitOnLastWindowClosed(true);
    try {
        TKorvidMain::Options options;
        options.programFolder = QApplication::applicationDirPath();
        if (argc > 1) options.settingsArgument = QString::fromLocal8Bit(argv[1]);
        TKorvidMain window(MidiSystem::CreateDefault(), options);
        THelpForm help(&window);
        TStatisticsForm stats(&window);
        window.SetSecondaryWindows(&help, &stats);
        CloseOnSignals(window);
        window.show();
        app.exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QStringLiteral("TEMPOVANE"),
                              QString::fromLocal8Bit(e.what()));
    }
    return 0;
}

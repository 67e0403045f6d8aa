#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>

#include "support/window_rig.h"
#include "ui/adapters/termination_signals_qt.h"

namespace {

// Runs the application's event loop, sends the process `signal` once the loop runs, and returns
// exec()'s result: 0 when the signal ended the loop, 99 when a guard had to end it.
int RunLoopAndSignal(int signal) {
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(5000);
    QTimer::singleShot(0, [signal] { ::kill(::getpid(), signal); });
    return QApplication::exec();
}

}  // namespace

using TerminationSignalTest = MainWindowTest;

TEST_F(TerminationSignalTest, SigtermEndsTheLoopWithTheWindowShown) {
    answerSave = true;
    open();
    openPort1();
    TerminationSignals closeOnSignals([this] { window->CloseWithoutQuestions(); });
    ASSERT_TRUE(closeOnSignals.active());
    EXPECT_EQ(RunLoopAndSignal(SIGTERM), 0);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(questions, 0);  // a signal closes without asking
    EXPECT_EQ(model().OutPort1(), nullptr);
}

TEST_F(TerminationSignalTest, SigintAndSigtermEndTheLoopWithTheWindowHiddenInTheTray) {
    for (const int signal : {SIGINT, SIGTERM}) {
        open();
        window->hide();  // what minimising to the tray leaves
        TerminationSignals closeOnSignals([this] { window->CloseWithoutQuestions(); });
        ASSERT_TRUE(closeOnSignals.active());
        EXPECT_EQ(RunLoopAndSignal(signal), 0) << signal;
        EXPECT_FALSE(model().Timer().Enabled());
        EXPECT_EQ(model().OutPort1(), nullptr);  // the clean close ran
    }
}

TEST(TerminationSignals, OneAtATimeAndTheOldHandlersComeBack) {
    struct sigaction before {};
    sigaction(SIGTERM, nullptr, &before);
    {
        TerminationSignals first([] {});
        TerminationSignals second([] {});
        EXPECT_TRUE(first.active());
        EXPECT_FALSE(second.active());
        struct sigaction during {};
        sigaction(SIGTERM, nullptr, &during);
        EXPECT_NE(during.sa_handler, before.sa_handler);
    }
    struct sigaction after {};
    sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    TerminationSignals again([] {});
    EXPECT_TRUE(again.active());
}

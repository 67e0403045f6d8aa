#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include "support/model_rig.h"
#include "ui/window/korvid_main.h"

// The main window on the memory backend, with a hand-driven clock, its files in a folder of
// its own, and the two questions it may ask answered by the test.
struct MainWindowTest : ::testing::Test {
    ManualClock clock;
    TempFolder folder;
    MemoryMidiBackend* memory = nullptr;
    std::unique_ptr<TKorvidMain> window;
    bool answerSave = false;
    int questions = 0;
    QStringList messages;
    bool answerQuestion = false;  // the answer to every other yes/no question
    QStringList askedQuestions;   // "caption: text"
    std::vector<int> keysToInputMap;
    // Keys go to keysToInputMap instead of the window's input map (false: to the real map).
    bool recordKeys = true;
    QString definitionFolder;     // empty: outdrv/ in the test's folder
    QString shippedOutputFolder;  // shipped definitions of an installed program; empty: none
    // The patch editor's save dialog: the path the test picks, "" for cancel.
    std::function<QString(const QString& folder, const QString& fileName)> askSavePath;

    // A settings file exists unless a test removes it: a first start picks a port by itself.
    void SetUp() override { folder.write("clockpresets.ini", "[APPLICATION_PRESETS]\n"); }

    TKorvidMain& open(const QString& argument = {}) {
        auto system = std::make_unique<MidiSystem>();
        auto backend = std::make_unique<MemoryMidiBackend>();
        memory = backend.get();
        memory->addDevice("synth");
        memory->addDevice("drums");
        system->addBackend(std::move(backend));
        TKorvidMain::Options options;
        options.programFolder = QString::fromStdString(folder.path());
        options.definitionFolder = definitionFolder.isEmpty()
                                       ? QString::fromStdString(folder.path() + "outdrv/")
                                       : definitionFolder;
        options.shippedOutputFolder = shippedOutputFolder;
        options.timerDrive = TBPMTimer::Drive::Manual;
        options.clock = &clock;
        options.settingsArgument = argument;
        options.askSaveSettings = [this] {
            ++questions;
            return answerSave;
        };
        options.showMessage = [this](const QString& caption, const QString& text) {
            messages << caption + ": " + text;
        };
        options.askQuestion = [this](const QString& caption, const QString& text) {
            askedQuestions << caption + ": " + text;
            return answerQuestion;
        };
        options.askSavePath = [this](const QString& folder, const QString& fileName) {
            return askSavePath ? askSavePath(folder, fileName) : QString();
        };
        window = std::make_unique<TKorvidMain>(std::move(system), options);
        if (recordKeys) {
            window->Model().SetInputDispatch(
                [this](uint8_t status, uint8_t d1, uint8_t d2, uint32_t) {
                    EXPECT_EQ(status, 0x60);
                    keysToInputMap.push_back(d1 * 256 + d2);
                    return false;  // no map entry took it
                });
        }
        window->show();
        QApplication::setActiveWindow(window.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        return *window;
    }
    KorvidMainModel& model() { return window->Model(); }
    void pump(int passes = 1) {
        for (int i = 0; i < passes; ++i) window->VCLEventsTimerTimer();
    }
    void openPort1() {
        SelectByName(model().out1Controls.port, "Memory: synth");
        model().OutPort1()->OpenSelectedPort();
        pump();
    }
    bool tick() {
        const int64_t due = model().Timer().NextDueNs();
        if (due == DeadlineThread::kNoDeadline) return false;
        clock.setNs(std::max(clock.nowNs(), due));
        return model().Timer().Poll();
    }
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, QWidget* target = nullptr) {
        QTest::keyClick(target ? target : QApplication::focusWidget(), static_cast<Qt::Key>(key),
                        modifiers);
    }
    void wheel(QWidget* target, int delta) {
        const QPointF at(target->width() / 2.0, target->height() / 2.0);
        QWheelEvent event(at, target->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(target, &event);
    }
    QString status() const { return window->StatusLabel->text(); }
    QColor statusColor() const {
        return window->StatusLabel->palette().color(QPalette::WindowText);
    }
};

// A dialog left open by a failing step would wait for ever: after 20 s every dialog still open
// is closed, and the test fails naming it.
struct DialogWatchdog {
    QTimer timer;
    DialogWatchdog() {
        timer.setSingleShot(true);
        timer.setInterval(20000);
        QObject::connect(&timer, &QTimer::timeout, [] {
            while (QWidget* modal = QApplication::activeModalWidget()) {
                ADD_FAILURE() << "closing a dialog left open: "
                              << modal->windowTitle().toStdString();
                modal->close();
            }
        });
        timer.start();
    }
};

// On the box itself, where a user clicks, not somewhere right of a short caption.
inline void ClickCheckBox(QCheckBox* box) {
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
}

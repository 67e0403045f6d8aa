// The command list with its shortcuts, the keys the window handles itself (Space and Enter, seen
// before the focused control), the mouse wheel and the tempo controls.
#include <QApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "ui/adapters/key_codes_qt.h"
#include "ui/window/korvid_main.h"

namespace {
struct CommandEntry {
    const char* name;
    QKeySequence shortcut;
};
// A tempo limit as the whole BPM the track bar counts in. The limits are read within 0-2500,
// but a double beyond the int range must never reach a conversion, whatever holds it.
int WholeBpm(double bpm) {
    if (std::isnan(bpm)) return 0;
    return static_cast<int>(std::clamp(std::trunc(bpm), -1e9, 1e9));
}

}  // namespace

void TKorvidMain::BuildCommandList() {
    const CommandEntry commands[] = {
        {"StartStopSeq", QKeySequence(Qt::Key_F1)},
        {"SendPause", QKeySequence(Qt::Key_F2)},
        {"SendContinue", QKeySequence(Qt::Key_F3)},
        {"F5Tempo", QKeySequence(Qt::Key_F5)},
        {"F6Tempo", QKeySequence(Qt::Key_F6)},
        {"F7Tempo", QKeySequence(Qt::Key_F7)},
        {"F8Tempo", QKeySequence(Qt::Key_F8)},
        {"SetF5Tempo", QKeySequence(Qt::CTRL | Qt::Key_F5)},
        {"SetF6Tempo", QKeySequence(Qt::CTRL | Qt::Key_F6)},
        {"SetF7Tempo", QKeySequence(Qt::CTRL | Qt::Key_F7)},
        {"SetF8Tempo", QKeySequence(Qt::CTRL | Qt::Key_F8)},
        {"SaveSettings", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S)},
        {"SaveSettings2", QKeySequence(Qt::CTRL | Qt::Key_S)},
        {"StartSeq", QKeySequence()},
        {"StopSeq", QKeySequence()},
        {"ShowStats", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_9)},
        {"BPMRoundUpToTick", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_Up)},
        {"BPMRoundDownToTick", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_Down)},
        {"ToggleLink", QKeySequence(Qt::CTRL | Qt::Key_L)},
    };
    for (const CommandEntry& entry : commands) {
        auto* action = new QAction(QString::fromLatin1(entry.name), this);
        action->setObjectName(QString::fromLatin1(entry.name));
        action->setShortcut(entry.shortcut);
        action->setShortcutContext(Qt::WindowShortcut);
        // Holding a transport or save key does its work once, not on every repeat.
        static const QStringList kOnce = {"StartStopSeq", "SendPause",     "SendContinue",
                                          "SaveSettings", "SaveSettings2", "ToggleLink"};
        action->setAutoRepeat(!kOnce.contains(action->objectName()));
        const QString name = action->objectName();
        connect(action, &QAction::triggered, this, [this, name] { RunCommand(name); });
        addAction(action);
        ActionList1.push_back(action);
    }
}

QAction* TKorvidMain::Command(const QString& name) const {
    for (QAction* action : ActionList1)
        if (action->objectName() == name) return action;
    return nullptr;
}

void TKorvidMain::RunCommand(const QString& name) {
    KorvidMainModel& m = *model_;
    Transport& t = m.transport();
    if (name == "StartStopSeq")
        t.StartStopSeq();
    else if (name == "SendPause")
        t.SendPause();
    else if (name == "SendContinue")
        t.SendContinue();
    else if (name == "StartSeq")
        t.StartSeq();
    else if (name == "StopSeq")
        t.StopSeq();
    else if (name == "SaveSettings" || name == "SaveSettings2")
        SaveSettings();
    else if (name == "ShowStats")
        ShowStats();
    else if (name == "ToggleLink")
        LinkCheckBox->click();
    else if (name == "BPMRoundUpToTick")
        m.tempo().BPMRoundUpToTick();
    else if (name == "BPMRoundDownToTick")
        m.tempo().BPMRoundDownToTick();
    else if (name.size() == 7 && name.startsWith('F') && name.endsWith("Tempo"))
        m.RecallPreset(name.mid(1, 1).toInt());
    else if (name.size() == 10 && name.startsWith("SetF") && name.endsWith("Tempo"))
        m.StorePreset(name.mid(4, 1).toInt());
}

void TKorvidMain::TapButtonClick() {
    model_->tap().TapButtonClick();
}

void TKorvidMain::TempoTrackBarChange() {
    const int position = TempoTrackBar->value();
    const int f = TempoFractionalEdit->value();
    const bool changed = position != trackBarMark_ || f != fractionMark_;
    if (f != fractionMark_) fractionMark_ = f;
    if (changed)
        model_->SetBPM((TempoTrackBar->maximum() + TempoTrackBar->minimum() - position) +
                       f * 0.001);
}

void TKorvidMain::TempoFractionalEditChange() {
    const int min = WholeBpm(model_->settings.BPMMINIMUM * 1000);
    bool isNumber = false;
    const int w = BPMLabel->text().toInt(&isNumber);
    if (isNumber) {
        const int f = TempoFractionalEdit->value();
        if (int64_t{w} * 1000 + f < min) {
            TempoFractionalEdit->setValue(min % 1000);  // runs this handler again
            return;
        }
        if (w == WholeBpm(model_->settings.BPMMAXIMUM.load()) && f > 999) {
            TempoFractionalEdit->setValue(999);
            return;
        }
    } else {
        const QSignalBlocker block(TempoFractionalEdit);
        TempoFractionalEdit->setValue(0);
    }
    TempoTrackBarChange();
}

void TKorvidMain::ApplySettingsToWindow() {
    AppSettings& s = model_->settings;
    PlaceWindowFromSettings();

    const double rounding = s.BPMROUNDING;
    const bool whole = rounding >= 1;
    if (whole) TempoFractionalEdit->setValue(0);
    TempoFractionalEdit->setVisible(!whole);
    CentsLabel->setVisible(!whole);
    TempoFractionalEdit->setSingleStep(
        std::max(1, static_cast<int>(std::lround(model_->tempo().RoundingStep() * 1000))));

    // Minimum first: the slider widens its range as needed, so every pair with min <= max fits.
    const QSignalBlocker block(TempoTrackBar);
    TempoTrackBar->setMinimum(WholeBpm(s.BPMMINIMUM.load()));
    TempoTrackBar->setMaximum(WholeBpm(s.BPMMAXIMUM.load()));

    setWindowFlag(Qt::WindowStaysOnTopHint, s.ALWAYSONTOP);
}

bool TKorvidMain::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
            if (OwnsWidget(watched)) return KeyPreview(static_cast<QKeyEvent*>(event), watched);
            break;
        case QEvent::Wheel:
            if (OwnsWidget(watched))
                return WheelOverWindow(static_cast<QWheelEvent*>(event), watched);
            break;
        default:
            break;
    }
    return QWidget::eventFilter(watched, event);
}

bool TKorvidMain::KeyPreview(QKeyEvent* event, QObject* watched) {
    // A press the focused control ignores travels up to its parents; it counts once, where it
    // first arrived.
    QWidget* focus = QApplication::focusWidget();
    if (watched != (focus ? static_cast<QObject*>(focus) : static_cast<QObject*>(this)))
        return false;
    // Enter after digits typed into the thousandths field confirms them; it does not start or
    // stop the clock.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        TempoFractionalEdit->Typing() &&
        (watched == TempoFractionalEdit ||
         TempoFractionalEdit->isAncestorOf(qobject_cast<QWidget*>(watched))))
        return false;
    const int key = event->key();
    const bool space = key == Qt::Key_Space;
    const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
    const bool keyboardTap = model_->settings.IGNOREKEYBOARDTAP == 0;
    // A held key keeps acting through the input map (a key on "BPM +1" keeps raising the
    // tempo), but a held Space or Enter taps and toggles only once.
    const bool repeat = event->isAutoRepeat();
    if (space && keyboardTap && !repeat) TapButtonClick();
    if (enter && keyboardTap && !repeat) RunCommand("StartStopSeq");
    const int virtualKey = VirtualKeyFromEvent(*event);
    // A key the enabled input map uses is the map's alone: a combo box's keyboard search
    // would otherwise switch the map off ("d" picks "Default") or change a device type.
    if (model_->PassKeyToInputMap(virtualKey)) return true;
    // Handled: the focused control must not also act, nor see a held Space or Enter (a
    // drop-down would open, a button would be pressed again and again).
    if ((space || enter) && (keyboardTap || repeat)) return true;
    if (watched == TapButton) {
        // Space and Enter never press the tap button: the window already handled them.
        int filtered = virtualKey;
        FilterShortCuts(filtered);
        if (filtered == 145) return true;
    }
    return false;
}

bool TKorvidMain::WheelOverWindow(QWheelEvent* event, QObject* watched) {
    const bool onTempoControl = watched == TempoTrackBar || watched == TempoFractionalEdit ||
                                TempoFractionalEdit->isAncestorOf(qobject_cast<QWidget*>(watched));
    if (model_->settings.IGNOREMOUSEWHEEL != 0) return onTempoControl;
    // One step per notch; smooth-scrolling devices send parts of a notch.
    wheelRemainder_ += event->angleDelta().y();
    const int steps = wheelRemainder_ / 120;
    wheelRemainder_ -= steps * 120;
    if (steps != 0) TempoTrackBar->setValue(TempoTrackBar->value() - steps);  // up: faster
    return true;
}

// The "Pulse Output" box: clock pulses on our JACK audio ports pulse_1 and pulse_2, below the
// General Settings box, shown with the other extra controls ("..."). Its controls edit the
// output chosen in the first list; every change applies at once.
#include <QSignalBlocker>

#include "midiout/pulse_output.h"
#include "ui/window/korvid_main.h"

void TKorvidMain::BuildPulseBox() {
    PulseOutputBox = new QGroupBox(QStringLiteral("Pulse Output"), this);
    PulseOutputBox->setObjectName(QStringLiteral("PulseOutputBox"));
    PulseOutputBox->setGeometry(0, 488, 249, 73);
    PulseOutputSelector = new QComboBox(PulseOutputBox);
    PulseOutputSelector->setObjectName(QStringLiteral("PulseOutputSelector"));
    PulseOutputSelector->addItems({QStringLiteral("pulse_1"), QStringLiteral("pulse_2")});
    PulseOutputSelector->setGeometry(8, 18, 72, 21);
    PulseOutputSelector->setToolTip(QStringLiteral("The JACK audio port these settings are for"));
    PulseEnable = new QCheckBox(QStringLiteral("On"), PulseOutputBox);
    PulseEnable->setObjectName(QStringLiteral("PulseEnable"));
    PulseEnable->setGeometry(86, 20, 42, 17);
    PulseEnable->setToolTip(QStringLiteral("Write clock pulses to this audio port"));
    PulseRun = new QCheckBox(QStringLiteral("Run"), PulseOutputBox);
    PulseRun->setObjectName(QStringLiteral("PulseRun"));
    PulseRun->setGeometry(132, 20, 48, 17);
    PulseRun->setToolTip(QStringLiteral("pulse_2 only: the DIN sync run line, high while running"));
    PulseInvert = new QCheckBox(QStringLiteral("Inv"), PulseOutputBox);
    PulseInvert->setObjectName(QStringLiteral("PulseInvert"));
    PulseInvert->setGeometry(186, 20, 48, 17);
    PulseInvert->setToolTip(QStringLiteral("Negative pulses"));

    PulsePpq = new QComboBox(PulseOutputBox);
    PulsePpq->setObjectName(QStringLiteral("PulsePpq"));
    for (int32_t ppq : kPulsesPerQuarterChoices) PulsePpq->addItem(QString::number(ppq), ppq);
    PulsePpq->setGeometry(8, 44, 44, 21);
    PulsePpq->setToolTip(QStringLiteral("Pulses per quarter note"));
    const auto spin = [this](const char* name, double low, double high, double step, int decimals,
                             const QString& suffix, int x, int width, const QString& tip) {
        auto* box = new QDoubleSpinBox(PulseOutputBox);
        box->setObjectName(QString::fromLatin1(name));
        box->setRange(low, high);
        box->setSingleStep(step);
        box->setDecimals(decimals);
        box->setSuffix(suffix);
        box->setGeometry(x, 44, width, 21);
        box->setToolTip(tip);
        box->setKeyboardTracking(false);  // applied when the typing is done
        return box;
    };
    PulseWidth = spin("PulseWidth", kMinPulseWidthMs, kMaxPulseWidthMs, 1, 1, QStringLiteral(" ms"),
                      56, 62, QStringLiteral("Pulse width"));
    PulseShift =
        spin("PulseShift", kMinPulseShiftMs, kMaxPulseShiftMs, 1, 1, QStringLiteral(" ms"), 122, 66,
             QStringLiteral("Shift: later (+) or earlier (-) than the MIDI clock"));
    PulseLevel = spin("PulseLevel", 0, 1, 0.1, 2, QString(), 192, 50, QStringLiteral("Level"));

    connect(PulseOutputSelector, &QComboBox::currentIndexChanged, this,
            [this](int) { ShowPulseOutput(); });
    for (QCheckBox* box : {PulseEnable, PulseRun, PulseInvert})
        connect(box, &QCheckBox::clicked, this, [this] { ApplyPulseControls(); });
    connect(PulsePpq, &QComboBox::currentIndexChanged, this, [this] { ApplyPulseControls(); });
    for (QDoubleSpinBox* box : {PulseWidth, PulseShift, PulseLevel})
        connect(box, &QDoubleSpinBox::valueChanged, this, [this] { ApplyPulseControls(); });
    ShowPulseOutput();
}

void TKorvidMain::ShowPulseOutput() {
    PulseOutputs* pulses = model_->Pulses();
    if (!pulses) return;
    const int number = PulseOutputSelector->currentIndex() + 1;
    const PulseOutputSettings settings = pulses->Settings(number);
    const QSignalBlocker b1(PulseEnable), b2(PulseRun), b3(PulseInvert), b4(PulsePpq),
        b5(PulseWidth), b6(PulseShift), b7(PulseLevel);
    PulseEnable->setChecked(settings.enabled);
    PulseRun->setChecked(settings.run);
    PulseRun->setEnabled(number == 2);
    PulseInvert->setChecked(settings.inverted);
    PulsePpq->setCurrentIndex(PulsePpq->findData(settings.ppq));
    PulseWidth->setValue(settings.widthMs);
    PulseShift->setValue(settings.shiftMs);
    PulseLevel->setValue(settings.level);
    // A run line has no pulses to shape.
    for (QWidget* w : {static_cast<QWidget*>(PulsePpq), static_cast<QWidget*>(PulseWidth)})
        w->setEnabled(!settings.run);
}

void TKorvidMain::ApplyPulseControls() {
    PulseOutputs* pulses = model_->Pulses();
    if (!pulses) return;
    const int number = PulseOutputSelector->currentIndex() + 1;
    PulseOutputSettings settings;
    settings.enabled = PulseEnable->isChecked();
    settings.run = PulseRun->isChecked();
    settings.inverted = PulseInvert->isChecked();
    settings.ppq = PulsePpq->currentData().toInt();
    settings.widthMs = PulseWidth->value();
    settings.shiftMs = PulseShift->value();
    settings.level = PulseLevel->value();
    model_->ApplyPulseOutput(number, settings);
    ShowPulseOutput();
}

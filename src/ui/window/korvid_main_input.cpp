// The "Midi Input Port + Key Setup" box: the input port selector, the input definition selector
// and the enable box, mirrored from the input port's models like the output boxes.
#include <QDir>
#include <QPointer>

#include "midiin/midi_in_port.h"
#include "platform/ini_file.h"
#include "ui/editors/edit_patch.h"
#include "ui/window/korvid_main.h"

void TKorvidMain::ConnectInputBox() {
    MIDIInComboBox1->setObjectName(QStringLiteral("MIDIInComboBox1"));
    MIDIInDevTypeComboBox1->setObjectName(QStringLiteral("MIDIInDevTypeComboBox1"));
    MIDIInEnable1->setObjectName(QStringLiteral("MIDIInEnable1"));
    MIDIInComboBox1->setToolTip(QStringLiteral("Select the midi port your controller sends to"));
    MIDIInDevTypeComboBox1->setToolTip(QStringLiteral("Select the input map"));
    // Read again each time it opens, as the output lists are: a controller started after us
    // can then be chosen.
    static_cast<PortListBox*>(MIDIInComboBox1)->beforePopup = [this] {
        if (MidiInPort* port = model_->InPort()) port->RefreshPortList();
        MirrorInputBox();
    };
    // Only the user's own choices run the handlers; the pump's mirroring does not.
    connect(MIDIInComboBox1, &QComboBox::activated, this, [this](int index) {
        model_->inControls.port.setIndex(index);
        if (MidiInPort* port = model_->InPort()) port->OpenSelectedPort();
        MirrorInputBox();
    });
    connect(MIDIInDevTypeComboBox1, &QComboBox::activated, this, [this](int index) {
        model_->inControls.deviceType.setIndex(index);
        if (MidiInPort* port = model_->InPort()) port->DeviceTypeChanged();
    });
    // toggled, not clicked: closing the window clears the box by program, and that must stop
    // the dispatch too.
    connect(MIDIInEnable1, &QCheckBox::toggled, this,
            [this](bool checked) { model_->inControls.enable.setChecked(checked); });
    InputEditButton->setObjectName(QStringLiteral("InputEditButton"));
    InputEditButton->setToolTip(QStringLiteral("Edit the input map"));
    connect(InputEditButton, &QPushButton::clicked, this, &TKorvidMain::InputEditButtonClick);
}

void TKorvidMain::InputEditButtonClick() {
    MidiInPort* port = model_->InPort();
    if (!port) return;
    TEditPatch::Services services;
    services.showMessage = [this](const QString& caption, const QString& text) {
        ShowMessage(caption, text);
    };
    services.askSavePath = options_.askSavePath;
    // A fresh editor each time, on the map as it is now.
    QPointer<TEditPatch> editor = new TEditPatch(this, std::move(services));
    editor->EditInputMap(*model_, MIDIInDevTypeComboBox1->currentText(), *port);
    delete editor.data();
    if (model_->LearnTarget()) model_->ClearLearnTarget();
    MirrorInputBox();
}

void TKorvidMain::CreateInputPort() {
    const QString folder = QDir(ProgramFolder()).filePath(QStringLiteral("indrv")) + "/";
    model_->CreateInPort(folder.toStdString(), options_.shippedInputFolder.toStdString());
    model_->inControls.enable.setChecked(MIDIInEnable1->isChecked());
    MirrorInputBox();
}

std::string TKorvidMain::LoadInputPortSettings(const IniFile& file) {
    MidiInPort* port = model_->InPort();
    if (!port) return {};
    const std::string missing = port->LoadPortSettings(file, true);
    port->OpenSelectedPort();
    MirrorInputBox();
    return missing;
}

void TKorvidMain::SaveInputPortSettings(IniFile& file) {
    if (MidiInPort* port = model_->InPort()) port->SavePortSettings(file);
}

void TKorvidMain::MirrorInputBox() {
    auto& c = model_->inControls;
    MirrorList(MIDIInComboBox1, c.port, shownInPort_);
    MirrorList(MIDIInDevTypeComboBox1, c.deviceType, shownInType_);
    if (c.enable.version() != shownInEnable_) {
        shownInEnable_ = c.enable.version();
        const QSignalBlocker block(MIDIInEnable1);
        MIDIInEnable1->setChecked(c.enable.checked());
    }
}

void TKorvidMain::PumpInput() {
    // The clock-input measurements are asked for with the statistics sample (PumpStatistics).
    MirrorInputBox();
    // A message learnt since the last pass goes to the open preset editor.
    model_->PumpLearn();
}

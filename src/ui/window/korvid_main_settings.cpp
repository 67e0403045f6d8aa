// Reading and writing the settings file from the main window: the window supplies its geometry
// and controls, SettingsFile the keys and their rules.
#include <QFileInfo>

#include "app/patch_selection.h"
#include "app/settings_file.h"
#include "app/sync_control.h"
#include "midiout/midi_out_port.h"
#include "platform/ini_file.h"
#include "platform/midi_system.h"
#include "ui/window/korvid_main.h"

QString TKorvidMain::SettingsPath() const {
    return QString::fromStdString(SettingsFile::Location(ProgramFolder().toStdString(),
                                                         options_.settingsArgument.toStdString()));
}

void TKorvidMain::GetPresetsINI() {
    KorvidMainModel& m = *model_;
    const std::string path = SettingsPath().toStdString();
    const bool firstStart = !QFileInfo::exists(SettingsPath());
    // What a save killed half-way left beside the file goes before anything else reads it.
    IniFile::RemoveStaleTemporaries(path);
    IniFile file;
    std::string error;
    int errorNumber = 0;
    if (!file.load(path, &error, &errorNumber, IniFile::kSettingsLimit)) {
        const SettingsFile::Problem problem = SettingsFile::ReadProblem(path, errorNumber, error);
        m.PostStatus(problem.text, StatusColors::red, problem.detail);
    }

    // The model reads the file, sets the tempo and opens each saved port once.
    std::string missing = SettingsFile::StartUp(file, m, firstStart);
    ApplySettingsToWindow();
    ShowPulseOutput();
    // One missing port a line, the input after the outputs.
    const std::string inputMissing = LoadInputPortSettings(file);
    if (!inputMissing.empty()) missing += (missing.empty() ? "" : "\n") + inputMissing;
    m.Sync().JoinAsSet();
    m.Sync().TransportAsSet();
    if (!missing.empty())
        ShowMessage(QStringLiteral("Warning"),
                    QString::fromLatin1(SettingsFile::kMissingPortsWarning) +
                        QString::fromStdString(missing));
    setWindowFlag(Qt::WindowStaysOnTopHint, m.settings.ALWAYSONTOP);
}

bool TKorvidMain::SetPresetsINI(QString* error, QString* detail) {
    KorvidMainModel& m = *model_;
    const std::string path = SettingsPath().toStdString();
    IniFile file;
    std::string reason;
    int errorNumber = 0;
    auto fail = [&](const SettingsFile::Problem& problem) {
        if (error) *error = QString::fromStdString(problem.text);
        if (detail) *detail = QString::fromStdString(problem.detail);
        return false;
    };
    // What is in the file and not ours (comments, other sections) stays; a file we cannot read
    // is not overwritten with only our part of it.
    if (!file.load(path, &reason, &errorNumber, IniFile::kSettingsLimit))
        return fail(SettingsFile::SaveProblem(path, errorNumber, reason, true));
    file.eraseSection("APPLICATIONPRESETS");
    m.settings.MAINSCREENPOSITIONTOP = pos().y();
    m.settings.MAINSCREENPOSITIONLEFT = pos().x();
    m.settings.MAINSCREENPOSITIONWIDTH = WindowWidth();
    m.settings.MAINSCREENPOSITIONHEIGHT = WindowHeight();
    SettingsFile::WriteWindowAndTempo(file, m.settings, m.Timer().Tempo() * 0.001);
    SettingsFile::WritePorts(file, m);
    SaveInputPortSettings(file);
    SettingsFile::WriteOptions(file, m.settings);
    if (!file.save(path, &reason, &errorNumber))
        return fail(SettingsFile::SaveProblem(path, errorNumber, reason));
    return true;
}

bool TKorvidMain::SaveSettings(QString* error, QString* detail) {
    QString text, story;
    bool saved = false;
    {
        const PatchSelection::Pause pause(*patches_);
        saved = SetPresetsINI(&text, &story);
    }
    if (saved) {
        model_->PostStatus("Settings Saved", StatusColors::green);
        return true;
    }
    model_->PostStatus(text.toStdString(), StatusColors::red, story.toStdString());
    if (error) *error = text;
    if (detail) *detail = story;
    return false;
}

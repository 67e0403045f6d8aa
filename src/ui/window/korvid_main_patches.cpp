// The "General Settings" box: choosing a settings patch applies its options and presets; once
// the user has opened the chosen file in an editor, every save there is imported again.
#include <QFileInfo>

#include "app/patch_selection.h"
#include "app/settings_file.h"
#include "ui/adapters/file_watch_qt.h"
#include "ui/window/korvid_main.h"

void TKorvidMain::ConnectPatchBox() {
    PatchComboBox->setObjectName(QStringLiteral("PatchComboBox"));
    EditPatchButton->setObjectName(QStringLiteral("EditPatchButton"));
    PatchComboBox->setToolTip(QStringLiteral("Settings patch: options and F5-F8 presets"));
    patchWatch_ = std::make_unique<FileWatchQt>(nullptr, options_.patchSettleMs);
    PatchSelection::Callbacks callbacks;
    callbacks.getPatchINI = [this](const std::string& path) {
        GetPatchINI(QString::fromStdString(path));
    };
    callbacks.postImport = [this](const std::string& text) {
        model_->PostStatus(text, StatusColors::green);
    };
    patches_ =
        std::make_unique<PatchSelection>(patchList_, *patchWatch_, ProgramFolder().toStdString(),
                                         SettingsPath().toStdString(), std::move(callbacks));
    patchList_.setItems({PatchSelection::kSettingsItem});
    patchList_.setIndex(0);
    MirrorPatchBox();

    static_cast<PortListBox*>(PatchComboBox)->beforePopup = [this] { RefreshPatchList(); };
    connect(PatchComboBox, &QComboBox::activated, this, [this](int index) {
        patchList_.setIndex(index);
        PatchComboBoxChange();
    });
}

void TKorvidMain::MirrorPatchBox() {
    MirrorList(PatchComboBox, patchList_, shownPatches_);
}

void TKorvidMain::RefreshPatchList() {
    patches_->RefreshPatchList();
    MirrorPatchBox();
}

void TKorvidMain::PatchComboBoxChange() {
    patches_->PatchComboBoxChange();
}

void TKorvidMain::ATFileNotification1Changed() {
    patches_->ATFileNotification1Changed();
}

void TKorvidMain::GetPatchINI(const QString& path) {
    // A patch that has gone, or cannot be read, leaves every setting as it is (and says so).
    if (SettingsFile::ImportPatch(path.toStdString(), *model_, path == SettingsPath()))
        ApplyAlwaysOnTop();
}

void TKorvidMain::ApplyAlwaysOnTop() {
    const bool onTop = model_->settings.ALWAYSONTOP;
    if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) == onTop) return;
    // Changing a window flag hides a shown window; it comes back as it was.
    const bool shown = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
    if (shown) show();
}

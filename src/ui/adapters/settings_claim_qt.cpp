#include "ui/adapters/settings_claim_qt.h"

#include <QDir>

std::unique_ptr<InstanceLock> ClaimSettingsFile(
    const QString& settingsPath,
    const std::function<void(const QString& caption, const QString& text)>& tell) {
    auto lock = std::make_unique<InstanceLock>(settingsPath.toStdString());
    if (lock->state() != InstanceLock::State::HeldElsewhere) return lock;
    tell(QStringLiteral("TEMPOVANE"),
         QStringLiteral("TEMPOVANE is already running with the settings file\n%1\n\n"
                        "Use the running one (its icon is in the tray), or start this one "
                        "with another settings file.")
             .arg(QDir::toNativeSeparators(settingsPath)));
    return nullptr;
}

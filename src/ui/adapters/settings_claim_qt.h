#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "platform/instance_lock.h"

// Claims the settings file for this instance of the program. When another instance already runs
// on it, tells the user so through `tell` and returns null: this instance then ends before it
// opens any device. Otherwise the returned lock is to be held until the program ends.
std::unique_ptr<InstanceLock> ClaimSettingsFile(
    const QString& settingsPath,
    const std::function<void(const QString& caption, const QString& text)>& tell);

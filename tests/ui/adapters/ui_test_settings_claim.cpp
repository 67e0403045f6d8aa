#include <gtest/gtest.h>

#include <QStringList>

#include "support/model_rig.h"
#include "ui/adapters/settings_claim_qt.h"

TEST(SettingsClaim, ASecondClaimOnTheSameFileIsToldAndRefused) {
    TempFolder folder;
    const QString settings = QString::fromStdString(folder.file("clockpresets.ini"));
    QStringList told;
    const auto tell = [&](const QString& caption, const QString& text) {
        told << caption + ": " + text;
    };
    auto first = ClaimSettingsFile(settings, tell);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(told.isEmpty());

    EXPECT_EQ(ClaimSettingsFile(settings, tell), nullptr);
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0].contains("already running")) << told[0].toStdString();
    EXPECT_TRUE(told[0].contains(settings)) << told[0].toStdString();

    // Another settings file is another instance's business.
    EXPECT_NE(ClaimSettingsFile(QString::fromStdString(folder.file("live.ini")), tell), nullptr);
    EXPECT_EQ(told.size(), 1);
    first.reset();
    EXPECT_NE(ClaimSettingsFile(settings, tell), nullptr);
}

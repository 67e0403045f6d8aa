#include <gtest/gtest.h>

#include <QLabel>

#include "support/window_rig.h"

namespace {

struct UserGuideTest : MainWindowTest {};

TEST_F(UserGuideTest, TheLinkNamesTheReadmeBesideTheProgram) {
    open();
    EXPECT_EQ(window->URLLabel->text(), QStringLiteral("README.md"));
    // Not in the program folder and not installed: nothing to point at.
    if (!QFileInfo::exists(TKorvidMain::kInstalledUserGuide)) {
        EXPECT_TRUE(window->UserGuidePath().isEmpty());
    }
    folder.write("README.md", "# Tempovane\n");
    EXPECT_EQ(window->UserGuidePath(),
              QFileInfo(QString::fromStdString(folder.path() + "README.md")).absoluteFilePath());
}

}  // namespace

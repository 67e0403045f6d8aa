#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "ui/display/help_form.h"

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

namespace {

struct HelpButtonTest : MainWindowTest {
    THelpForm help;
    void TearDown() override {
        if (window) window->SetSecondaryWindows(nullptr, nullptr);
    }
    void press() {
        // The help window is modal: it is closed again as soon as the event loop runs.
        QTimer::singleShot(0, &help, &QDialog::reject);
        window->HelpButton->click();
    }
};

TEST_F(HelpButtonTest, TheRangeListJoinsTheTextOnceAfterTwoPresses) {
    open();
    window->SetSecondaryWindows(&help, nullptr);
    const int before = help.lines().size();
    press();
    const QStringList once = help.lines();
    ASSERT_GT(once.size(), before + 16);
    EXPECT_EQ(once.count(QStringLiteral("Automatically generated Stats : ")), 1);
    EXPECT_EQ(once.count(QStringLiteral("Built-in Default Range Transform List :")), 1);
    // One line per built-in range preset, 0xF0 to 0xFF, the last one last.
    EXPECT_TRUE(once.last().startsWith(QStringLiteral("      Preset 0xFF: From 0x")));
    press();
    EXPECT_EQ(help.lines(), once);
}

}  // namespace

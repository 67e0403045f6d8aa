#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
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

namespace {

// Every shortcut of the window's command list has its line in the help text, written as the
// help writes keys (upper case, "+" between them).
TEST_F(HelpButtonTest, EveryShortcutOfTheWindowIsInTheHelp) {
    open();
    const QString text = help.lines().join('\n').toUpper();
    int shortcuts = 0;
    for (const QAction* action : window->findChildren<QAction*>()) {
        for (const QKeySequence& sequence : action->shortcuts()) {
            const QString key = sequence.toString(QKeySequence::PortableText).toUpper();
            const QRegularExpression listed(
                QStringLiteral("(^|[ ,])%1[ ,:/]").arg(QRegularExpression::escape(key)),
                QRegularExpression::MultilineOption);
            EXPECT_TRUE(listed.match(text).hasMatch()) << key.toStdString();
            ++shortcuts;
        }
    }
    EXPECT_GE(shortcuts, 17);  // F1 .. Ctrl+L: the list was found
}

// The guide is there, but nothing on this box opens files: the status line says what is
// missing and where the guide is, not that it was not found.
TEST_F(UserGuideTest, WithoutXdgOpenTheLinkSaysWhatIsMissing) {
    folder.write("README.md", "# Tempovane\n");
    TempFolder emptyPath;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(emptyPath.path()));
    open();
    QTest::mouseClick(window->URLLabel, Qt::LeftButton);
    qputenv("PATH", path);
    EXPECT_FALSE(status().contains("not found")) << status().toStdString();
    EXPECT_TRUE(status().contains("xdg-utils")) << status().toStdString();
    const QString detail = window->StatusLabel->toolTip();
    EXPECT_TRUE(detail.contains("xdg-open")) << detail.toStdString();
    EXPECT_TRUE(detail.contains("xdg-utils")) << detail.toStdString();
    EXPECT_TRUE(detail.contains(window->UserGuidePath())) << detail.toStdString();
}

}  // namespace

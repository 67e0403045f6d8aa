#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include "midiin/input_definition.h"
#include "ui/display/help_form.h"

TEST(HelpForm, FixedSizeDialogWithOneReadOnlyMemo) {
    THelpForm form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("TEMPOVANE Info"));
    EXPECT_EQ(form.minimumSize(), QSize(459, 443));
    EXPECT_EQ(form.maximumSize(), QSize(459, 443));
    EXPECT_TRUE(form.HelpMemo->isReadOnly());
    EXPECT_EQ(form.HelpMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    form.show();
    EXPECT_EQ(form.size(), QSize(459, 443));
    EXPECT_EQ(form.HelpMemo->geometry(), form.rect());
    form.hide();
}

TEST(HelpForm, StartsWithTheUsageTextAndAContactPointingToTheReadme) {
    THelpForm form;
    const QStringList lines = form.lines();
    ASSERT_GE(lines.size(), 30);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "USAGE:");
    EXPECT_EQ(lines[4], "    Ctrl+Alt+s : save settings to clockpresets.ini file.");
    EXPECT_EQ(lines[12], "    SPACE BAR : Tap Tempo");
    // Our own shortcuts follow, a line each, in the same style.
    EXPECT_EQ(lines[13], "    ENTER   : start/stop clock sequence");
    EXPECT_EQ(lines[17], "    CTRL+L  : Link on/off (tempo shared with other apps)");
    EXPECT_EQ(lines[20], "DESCRIPTION:");
    EXPECT_EQ(lines[29], "DISCLAIMER:");
    EXPECT_TRUE(lines.contains("CONTACT INFO:"));
    EXPECT_TRUE(lines.join('\n').contains("README.md"));
    // No invented web address: the contact section names the documentation that ships.
    EXPECT_FALSE(lines.join('\n').contains("http"));
    EXPECT_EQ(lines.last(), "");
    EXPECT_EQ(form.HelpMemo->toPlainText(), lines.join('\n'));
}

TEST(HelpForm, LinesKeepTheirOrderAndEmptyLines) {
    THelpForm form;
    const QStringList stored = form.lines();

    form.appendLines({"", "USAGE:", "  indented", ""});
    form.insertLinesAtTop({"TEMPOVANE 4.01"});
    form.insertLinesAtTop({"second insert", "goes above"});
    form.appendLines({"Automatically generated Stats : ", ""});
    form.appendLines({});

    const QStringList expected =
        QStringList{"second insert", "goes above", "TEMPOVANE 4.01"} + stored +
        QStringList{"", "USAGE:", "  indented", "", "Automatically generated Stats : ", ""};
    EXPECT_EQ(form.lines(), expected);
    // The memo shows exactly those lines, one text block each, the trailing empty one too.
    EXPECT_EQ(form.HelpMemo->document()->blockCount(), expected.size());
    EXPECT_EQ(form.HelpMemo->toPlainText(), expected.join('\n'));
}

TEST(HelpForm, EveryLineFitsTheBoxAndNoneBreaksInTheMiddle) {
    THelpForm form;
    // What the window adds: its caption on top, the generated range list at the end.
    form.insertLinesAtTop({"TEMPOVANE 4.01", "Version 4.01 README.md"});
    QStringList ranges;
    for (const std::string& line : DescribeRangesLines()) ranges << QString::fromStdString(line);
    form.appendLines(ranges);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QApplication::processEvents();
    EXPECT_GE(form.HelpMemo->font().pixelSize(), 9);
    const QTextDocument* text = form.HelpMemo->document();
    for (QTextBlock block = text->begin(); block.isValid(); block = block.next())
        EXPECT_EQ(block.lineCount(), 1) << block.text().toStdString();
    form.hide();
}

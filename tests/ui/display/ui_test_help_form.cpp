#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextDocument>

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

TEST(HelpForm, LinesKeepTheirOrderAndEmptyLines) {
    THelpForm form;
    EXPECT_TRUE(form.lines().isEmpty());

    form.appendLines({"", "USAGE:", "  indented", ""});
    form.insertLinesAtTop({"TEMPOVANE 4.01"});
    form.insertLinesAtTop({"second insert", "goes above"});
    form.appendLines({"Automatically generated Stats : ", ""});
    form.appendLines({});

    const QStringList expected{"second insert",
                               "goes above",
                               "TEMPOVANE 4.01",
                               "",
                               "USAGE:",
                               "  indented",
                               "",
                               "Automatically generated Stats : ",
                               ""};
    EXPECT_EQ(form.lines(), expected);
    // The memo shows exactly those lines, one text block each, the trailing empty one too.
    EXPECT_EQ(form.HelpMemo->document()->blockCount(), expected.size());
    EXPECT_EQ(form.HelpMemo->toPlainText(), expected.join('\n'));
}

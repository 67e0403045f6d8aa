#include "ui/display/help_form.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

THelpForm::THelpForm(QWidget* parent) : QDialog(parent), HelpMemo(new QPlainTextEdit(this)) {
    setWindowTitle(QStringLiteral("TEMPOVANE Info"));
    setFixedSize(459, 443);
    setSizeGripEnabled(false);

    HelpMemo->setObjectName(QStringLiteral("HelpMemo"));
    HelpMemo->setReadOnly(true);
    // Long description lines wrap instead of scrolling sideways; only the vertical bar is
    // needed, and it stays put so the text does not reflow when the memo grows.
    HelpMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    HelpMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    HelpMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(HelpMemo);
}

void THelpForm::insertLinesAtTop(const QStringList& lines) {
    if (lines.isEmpty()) return;
    memoLines_ = lines + memoLines_;
    showLines();
}

void THelpForm::appendLines(const QStringList& lines) {
    if (lines.isEmpty()) return;
    memoLines_ += lines;
    showLines();
}

void THelpForm::showLines() {
    HelpMemo->setPlainText(memoLines_.join(QLatin1Char('\n')));
}

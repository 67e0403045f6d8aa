#pragma once

#include <QDialog>
#include <QStringList>

class QPlainTextEdit;

// The "?" window: a fixed-size dialog with one read-only text. Other parts of the program add
// lines to it at run time; nothing is ever taken out.
class THelpForm : public QDialog {
    Q_OBJECT

  public:
    explicit THelpForm(QWidget* parent = nullptr);

    QStringList lines() const { return memoLines_; }
    void insertLinesAtTop(const QStringList& lines);
    void appendLines(const QStringList& lines);

    QPlainTextEdit* const HelpMemo;

  private:
    void showLines();
    // The memo's text size: the largest, up to the application's, at which every line fits.
    void fitText();

    // Kept beside the memo so that trailing empty lines, and an empty memo versus one empty
    // line, survive exactly; the memo's plain text cannot tell those apart.
    QStringList memoLines_;
};

#include "ui/display/help_form.h"

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

namespace {
// The text the window starts with. Other parts of the program add lines above and below it.
QStringList storedLines() {
    return {
        "",
        "USAGE:",
        "-------------",
        "  Basic keyboard shortcuts :",
        "    Ctrl+Alt+s : save settings to clockpresets.ini file.",
        "    F1      : start/stop clock sequence",
        "    F2      : send pause MIDI code",
        "    F3      : send continue MIDI code",
        "    F5      : use bookmark tempo nr. 1",
        "    CTRL+F5 : set bookmark tempo nr. 1",
        "    F6,CTRL+F6,F7,CTRL+F7,F8,CTRL+F8 : tempo bookmarks nr 2, 3 & 4",
        "    Mousewheel up/down : increase/decrease tempo",
        "    SPACE BAR : Tap Tempo",
        // The shortcuts and keys the window has beyond those above, in their style.
        "    ENTER   : start/stop clock sequence",
        "    CTRL+S  : save settings, as Ctrl+Alt+s",
        "    CTRL+ALT+UP, CTRL+ALT+DOWN : faster/slower tempo, whole-ms tick",
        "    CTRL+ALT+9 : statistics window",
        "    CTRL+L  : Link on/off (tempo shared with other apps)",
        "",
        "",
        "DESCRIPTION:",
        "------------------------",
        "  TEMPOVANE can be used for synchronization of MIDI devices.",
        "  The BPM rate of the clock signal can be set, and the MIDI real time clock",
        // On Linux the clock runs on the system's high-resolution timer (and, through JACK,
        // is placed on its audio frame); there is no other timer to speak of.
        "  protocol is sent out with the precision of the system's high-resolution timer.",
        "  The clock signal can be started/stopped/adjusted by pressing keys or sending",
        "  MIDI-IN patch change commands.",
        "",
        "",
        "DISCLAIMER:",
        "-----------",
        "Keep in mind that you use this software at your own risk; any damage which",
        "might occur, in whatever form, is your own responsibility.",
        "",
        "CONTACT INFO:",
        "-------------",
        "  The user guide is README.md, which comes with the program (next to it, or in",
        "  /usr/share/doc/tempovane when installed). Questions and reports go to the",
        "  project that you got TEMPOVANE from.",
        "",
        "",
    };
}

// The smallest text the box is sized down to; a line still wider wraps at a word.
constexpr int kSmallestPixels = 9;
}  // namespace

THelpForm::THelpForm(QWidget* parent)
    : QDialog(parent), HelpMemo(new QPlainTextEdit(this)), memoLines_(storedLines()) {
    setWindowTitle(QStringLiteral("TEMPOVANE Info"));
    setFixedSize(459, 443);
    setSizeGripEnabled(false);

    HelpMemo->setObjectName(QStringLiteral("HelpMemo"));
    HelpMemo->setReadOnly(true);
    // The lines are the text's own, each a part of a sentence: the text is sized so that the
    // widest fits the box (fitText), and only a line that would need a smaller text than
    // kSmallestPixels wraps, at a word. The vertical bar stays put so the text does not
    // reflow when the memo grows.
    HelpMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    HelpMemo->setWordWrapMode(QTextOption::WordWrap);
    HelpMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    HelpMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(HelpMemo);
    showLines();
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
    fitText();
    HelpMemo->setPlainText(memoLines_.join(QLatin1Char('\n')));
}

void THelpForm::fitText() {
    // The room a line has: the box less its frame, the scroll bar, the document's margins
    // and the cursor's pixel.
    const int room = width() - 2 * HelpMemo->frameWidth() -
                     HelpMemo->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, HelpMemo) -
                     2 * static_cast<int>(HelpMemo->document()->documentMargin()) - 2;
    QFont font = QApplication::font(HelpMemo);
    if (font.pixelSize() <= 0) font.setPixelSize(QFontInfo(font).pixelSize());
    for (; font.pixelSize() > kSmallestPixels; font.setPixelSize(font.pixelSize() - 1)) {
        const QFontMetrics metrics(font);
        int widest = 0;
        for (const QString& line : memoLines_)
            widest = std::max(widest, metrics.horizontalAdvance(line));
        if (widest <= room) break;
    }
    if (HelpMemo->font() != font) HelpMemo->setFont(font);
}

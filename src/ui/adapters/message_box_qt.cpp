#include "ui/adapters/message_box_qt.h"

#include <QStringList>

QString ShortenedForBox(const QString& text, const QFontMetrics& metrics) {
    const QStringList lines = text.split(QLatin1Char('\n'));
    QStringList shown;
    qsizetype characters = 0;
    for (const QString& line : lines) {
        if (shown.size() == kMessageBoxLines || characters >= kMessageBoxChars) break;
        QStringList words = line.split(QLatin1Char(' '));
        for (QString& word : words) {
            if (metrics.horizontalAdvance(word) > kMessageBoxWordPixels)
                word = metrics.elidedText(word, Qt::ElideMiddle, kMessageBoxWordPixels);
        }
        QString kept = words.join(QLatin1Char(' '));
        if (characters + kept.size() > kMessageBoxChars)
            kept = kept.left(kMessageBoxChars - characters) + QStringLiteral("...");
        characters += kept.size();
        shown << kept;
    }
    if (shown.size() < lines.size()) {
        const qsizetype left = lines.size() - shown.size();
        shown << (left == 1 ? QStringLiteral("... (1 more line)")
                            : QStringLiteral("... (%1 more lines)").arg(left));
    }
    const QString result = shown.join(QLatin1Char('\n'));
    return result;
}

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, QMessageBox::Icon icon,
                                            const QString& caption, const QString& text,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton defaultButton) {
    auto box = std::make_unique<QMessageBox>(icon, caption, QString(), buttons, parent);
    // As plain text: a name from a device or a file is shown as it is, never as markup.
    box->setTextFormat(Qt::PlainText);
    const QString shown = ShortenedForBox(text, QFontMetrics(box->font()));
    box->setText(shown);
    if (shown != text) box->setDetailedText(text);
    if (defaultButton != QMessageBox::NoButton) box->setDefaultButton(defaultButton);
    return box;
}

QMessageBox::StandardButton ShowMessageBox(QWidget* parent, QMessageBox::Icon icon,
                                           const QString& caption, const QString& text,
                                           QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton) {
    const auto box = MakeMessageBox(parent, icon, caption, text, buttons, defaultButton);
    return static_cast<QMessageBox::StandardButton>(box->exec());
}

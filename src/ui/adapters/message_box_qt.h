#pragma once

#include <QFontMetrics>
#include <QMessageBox>
#include <QString>
#include <memory>

// Message boxes whose size does not grow with their text. A text can hold anything a file or a
// device put there (a port name of thousands of characters, a long list of missing ports); the
// box shows it shortened, a line and a number of lines at most, and the whole text under
// "Show Details...", which scrolls. The buttons stay on the screen.

// The most a box shows of its text: lines, characters in all, and the width of one word (a
// word wider than the box would make the box wider than the screen).
inline constexpr int kMessageBoxLines = 12;
inline constexpr int kMessageBoxChars = 600;
inline constexpr int kMessageBoxWordPixels = 300;

// text as a box in the font of metrics shows it: a word too wide cut in its middle with "...",
// the text cut after the last line or character shown, with a line that counts the lines left
// out. Unchanged when it fits.
QString ShortenedForBox(const QString& text, const QFontMetrics& metrics);

// A box ready to show or exec(); its detailed text holds the whole text when it was shortened.
std::unique_ptr<QMessageBox> MakeMessageBox(
    QWidget* parent, QMessageBox::Icon icon, const QString& caption, const QString& text,
    QMessageBox::StandardButtons buttons = QMessageBox::Ok,
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

// Shows the box and returns the button the user chose.
QMessageBox::StandardButton ShowMessageBox(
    QWidget* parent, QMessageBox::Icon icon, const QString& caption, const QString& text,
    QMessageBox::StandardButtons buttons = QMessageBox::Ok,
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

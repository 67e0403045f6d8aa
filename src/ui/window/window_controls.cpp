#include "ui/window/window_controls.h"

#include <QLineEdit>

ThousandthsEdit::ThousandthsEdit(QWidget* parent) : QSpinBox(parent) {
    setKeyboardTracking(false);
    connect(lineEdit(), &QLineEdit::textEdited, this, [this] { typing_ = true; });
    // Connected first, so the window's own handler already sees the text as confirmed.
    connect(this, &QSpinBox::valueChanged, this, [this] { typing_ = false; });
    connect(this, &QSpinBox::editingFinished, this, [this] { typing_ = false; });
}

void PortListBox::showPopup() {
    if (beforePopup) beforePopup();
    QComboBox::showPopup();
}

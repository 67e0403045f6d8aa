#pragma once

#include <QComboBox>
#include <QSpinBox>
#include <functional>

// The thousandths field. Typed text counts only once the user confirms it (Enter, or leaving
// the field): on the way to "-500" the field holds "-", "-5" and "-50", and none of those may
// reach the devices as a tempo. The arrows and the wheel still change the value at once.
class ThousandthsEdit : public QSpinBox {
  public:
    explicit ThousandthsEdit(QWidget* parent);
    // Text typed and not yet confirmed: the pump must not write over it.
    bool Typing() const { return typing_; }

  private:
    bool typing_ = false;
};

// A port list that is read again each time it opens, so devices that appeared after start-up
// can be chosen.
class PortListBox : public QComboBox {
  public:
    using QComboBox::QComboBox;
    std::function<void()> beforePopup;
    void showPopup() override;
};

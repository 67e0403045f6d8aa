#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QTest>
#include <QWidget>
#include <vector>

#include "ui/adapters/key_codes_qt.h"

namespace {

constexpr Qt::KeyboardModifiers kNone = Qt::NoModifier;
constexpr Qt::KeyboardModifiers kKeypad = Qt::KeypadModifier;

// Maps key presses as a window's key handler would, from the events Qt delivers.
class KeyRecorder : public QWidget {
  public:
    std::vector<int> virtualKeys;

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        virtualKeys.push_back(VirtualKeyFromQt(event->key(), event->modifiers()));
    }
};

}  // namespace

TEST(KeyCodes, LettersIgnoreModifiers) {
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_A, kNone), 65);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_M, kNone), 77);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Z, kNone), 90);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_S, Qt::ControlModifier | Qt::AltModifier), 83);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Q, Qt::ShiftModifier), 81);
}

TEST(KeyCodes, DigitsAndTheirShiftedSymbols) {
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_0, kNone), 48);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_5, kNone), 53);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_9, kNone), 57);
    const int shiftedDigits[] = {Qt::Key_ParenRight,  Qt::Key_Exclam,    Qt::Key_At,
                                 Qt::Key_NumberSign,  Qt::Key_Dollar,    Qt::Key_Percent,
                                 Qt::Key_AsciiCircum, Qt::Key_Ampersand, Qt::Key_Asterisk,
                                 Qt::Key_ParenLeft};
    for (int digit = 0; digit <= 9; ++digit)
        EXPECT_EQ(VirtualKeyFromQt(shiftedDigits[digit], Qt::ShiftModifier), 48 + digit) << digit;
}

TEST(KeyCodes, FunctionKeys) {
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_F1, kNone), 112);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_F5, kNone), 116);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_F8, Qt::ControlModifier), 119);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_F12, kNone), 123);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_F24, kNone), 135);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_F25, kNone), 0);
}

TEST(KeyCodes, KeypadIsToldApartFromTheMainKeys) {
    for (int digit = 0; digit <= 9; ++digit) {
        EXPECT_EQ(VirtualKeyFromQt(Qt::Key_0 + digit, kKeypad), 96 + digit) << digit;
        EXPECT_EQ(VirtualKeyFromQt(Qt::Key_0 + digit, kNone), 48 + digit) << digit;
    }
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Asterisk, kKeypad), 106);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Plus, kKeypad), 107);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Minus, kKeypad), 109);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Period, kKeypad), 110);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Comma, kKeypad), 110);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Slash, kKeypad), 111);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Enter, kKeypad), 13);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Plus, kNone), 187);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Minus, kNone), 189);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Slash, kNone), 191);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Asterisk, kNone), 56);
    // With Num Lock off the keypad sends navigation keys, and a modifier does not hide that.
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Home, kKeypad), 36);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Delete, kKeypad | Qt::ShiftModifier), 46);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Clear, kKeypad), 12);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_7, kKeypad | Qt::ControlModifier), 103);
}

TEST(KeyCodes, EditingNavigationModifierAndSystemKeys) {
    struct Case {
        int qtKey;
        int virtualKey;
    };
    const Case cases[] = {
        {Qt::Key_Space, 32},    {Qt::Key_Return, 13},      {Qt::Key_Enter, 13},
        {Qt::Key_Tab, 9},       {Qt::Key_Backtab, 9},      {Qt::Key_Backspace, 8},
        {Qt::Key_Escape, 27},   {Qt::Key_Insert, 45},      {Qt::Key_Delete, 46},
        {Qt::Key_Home, 36},     {Qt::Key_End, 35},         {Qt::Key_PageUp, 33},
        {Qt::Key_PageDown, 34}, {Qt::Key_Left, 37},        {Qt::Key_Up, 38},
        {Qt::Key_Right, 39},    {Qt::Key_Down, 40},        {Qt::Key_Shift, 16},
        {Qt::Key_Control, 17},  {Qt::Key_Alt, 18},         {Qt::Key_AltGr, 165},
        {Qt::Key_Meta, 91},     {Qt::Key_Super_L, 91},     {Qt::Key_Super_R, 92},
        {Qt::Key_Menu, 93},     {Qt::Key_Pause, 19},       {Qt::Key_CapsLock, 20},
        {Qt::Key_NumLock, 144}, {Qt::Key_ScrollLock, 145}, {Qt::Key_Print, 44},
    };
    // Whatever modifiers are held (Ctrl+Alt+Up is a shortcut, Backtab comes with Shift).
    const Qt::KeyboardModifiers held[] = {kNone, Qt::ShiftModifier,
                                          Qt::ControlModifier | Qt::AltModifier};
    for (const Case& c : cases) {
        for (const auto modifiers : held)
            EXPECT_EQ(VirtualKeyFromQt(c.qtKey, modifiers), c.virtualKey) << std::hex << c.qtKey;
    }
}

TEST(KeyCodes, PunctuationKeysWithAndWithoutShift) {
    struct Case {
        int plain;
        int shifted;
        int virtualKey;
    };
    const Case cases[] = {
        {Qt::Key_Semicolon, Qt::Key_Colon, 186},
        {Qt::Key_Equal, Qt::Key_Plus, 187},
        {Qt::Key_Comma, Qt::Key_Less, 188},
        {Qt::Key_Minus, Qt::Key_Underscore, 189},
        {Qt::Key_Period, Qt::Key_Greater, 190},
        {Qt::Key_Slash, Qt::Key_Question, 191},
        {Qt::Key_QuoteLeft, Qt::Key_AsciiTilde, 192},
        {Qt::Key_BracketLeft, Qt::Key_BraceLeft, 219},
        {Qt::Key_Backslash, Qt::Key_Bar, 220},
        {Qt::Key_BracketRight, Qt::Key_BraceRight, 221},
        {Qt::Key_Apostrophe, Qt::Key_QuoteDbl, 222},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VirtualKeyFromQt(c.plain, kNone), c.virtualKey) << c.plain;
        EXPECT_EQ(VirtualKeyFromQt(c.shifted, Qt::ShiftModifier), c.virtualKey) << c.shifted;
    }
}

TEST(KeyCodes, UnknownKeysGiveZero) {
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_unknown, kNone), 0);
    EXPECT_EQ(VirtualKeyFromQt(0, kNone), 0);
    EXPECT_EQ(VirtualKeyFromQt(-1, kNone), 0);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_VolumeUp, kNone), 0);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Adiaeresis, kNone), 0);  // a letter outside A-Z
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Equal, kKeypad), 187);   // no keypad entry: the main key
    EXPECT_EQ(VirtualKeyFromQt('a', kNone), 0);  // Qt never reports lower-case letter keys
}

TEST(KeyCodes, DeliveredKeyEventsAreMapped) {
    KeyRecorder window;
    QTest::keyClick(&window, Qt::Key_A);
    QTest::keyClick(&window, '!');  // what Shift+1 gives on a US layout
    QTest::keyClick(&window, Qt::Key_5, Qt::KeypadModifier);
    QTest::keyClick(&window, Qt::Key_5);
    QTest::keyClick(&window, Qt::Key_F5, Qt::ControlModifier);
    QTest::keyClick(&window, Qt::Key_Space);
    QTest::keyClick(&window, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClick(&window, Qt::Key_VolumeDown);
    // Ctrl+F5 arrives as two presses, Control (17) first, as from a real keyboard.
    EXPECT_EQ(window.virtualKeys, (std::vector<int>{65, 49, 101, 53, 17, 116, 32, 13, 0}));
}

TEST(KeyCodes, FilterShortCutsTurnsSpaceAndEnterIntoScrollLock) {
    int key = 32;
    EXPECT_EQ(FilterShortCuts(key), 32);
    EXPECT_EQ(key, 145);
    key = 13;
    EXPECT_EQ(FilterShortCuts(key), 13);
    EXPECT_EQ(key, 145);
    for (const int other : {0, 9, 65, 116, 145}) {
        key = other;
        EXPECT_EQ(FilterShortCuts(key), other);
        EXPECT_EQ(key, other);
    }
}

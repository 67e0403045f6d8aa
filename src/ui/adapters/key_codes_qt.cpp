#include "ui/adapters/key_codes_qt.h"

#include <QChar>
#include <QKeyEvent>
#include <algorithm>
#include <iterator>

namespace {

struct KeyMapping {
    int qtKey;
    bool keypad;  // only matches with Qt::KeypadModifier
    int virtualKey;
};

// Letters and function keys are contiguous in both numberings and are mapped by range in
// VirtualKeyFromQt; the keys that mean the same on every layout are listed here, keypad entries
// first so that they win. The keypad navigation keys (Home, Delete ... with Num Lock off) need
// no entry: like on Windows they give the same numbers as the dedicated keys.
constexpr KeyMapping kKeyTable[] = {
    {Qt::Key_0, true, 96},
    {Qt::Key_1, true, 97},
    {Qt::Key_2, true, 98},
    {Qt::Key_3, true, 99},
    {Qt::Key_4, true, 100},
    {Qt::Key_5, true, 101},
    {Qt::Key_6, true, 102},
    {Qt::Key_7, true, 103},
    {Qt::Key_8, true, 104},
    {Qt::Key_9, true, 105},
    {Qt::Key_Asterisk, true, 106},
    {Qt::Key_Plus, true, 107},
    {Qt::Key_Minus, true, 109},
    {Qt::Key_Period, true, 110},
    {Qt::Key_Comma, true, 110},  // the decimal key of layouts with a decimal comma
    {Qt::Key_Slash, true, 111},
    {Qt::Key_Enter, true, 13},

    // Editing and navigation.
    {Qt::Key_Space, false, 32},
    {Qt::Key_Return, false, 13},
    {Qt::Key_Enter, false, 13},
    {Qt::Key_Tab, false, 9},
    {Qt::Key_Backtab, false, 9},  // Shift+Tab
    {Qt::Key_Backspace, false, 8},
    {Qt::Key_Escape, false, 27},
    {Qt::Key_Insert, false, 45},
    {Qt::Key_Delete, false, 46},
    {Qt::Key_Home, false, 36},
    {Qt::Key_End, false, 35},
    {Qt::Key_PageUp, false, 33},
    {Qt::Key_PageDown, false, 34},
    {Qt::Key_Left, false, 37},
    {Qt::Key_Up, false, 38},
    {Qt::Key_Right, false, 39},
    {Qt::Key_Down, false, 40},
    {Qt::Key_Clear, false, 12},  // keypad 5 with Num Lock off

    // Modifiers, locks and system keys. Linux desktops report the Windows keys as Super or
    // as Meta depending on the keyboard map.
    {Qt::Key_Shift, false, 16},
    {Qt::Key_Control, false, 17},
    {Qt::Key_Alt, false, 18},
    {Qt::Key_AltGr, false, 165},
    {Qt::Key_Meta, false, 91},
    {Qt::Key_Super_L, false, 91},
    {Qt::Key_Super_R, false, 92},
    {Qt::Key_Menu, false, 93},
    {Qt::Key_Pause, false, 19},
    {Qt::Key_CapsLock, false, 20},
    {Qt::Key_NumLock, false, 144},
    {Qt::Key_ScrollLock, false, 145},
    {Qt::Key_Print, false, 44},
};

// Where no scan code tells the physical key: the characters of the US layout, each giving the
// number of the key that carries it there.
constexpr KeyMapping kUsCharacterTable[] = {
    // Digits, and the symbols the US layout puts on them with Shift.
    {Qt::Key_0, false, 48},
    {Qt::Key_1, false, 49},
    {Qt::Key_2, false, 50},
    {Qt::Key_3, false, 51},
    {Qt::Key_4, false, 52},
    {Qt::Key_5, false, 53},
    {Qt::Key_6, false, 54},
    {Qt::Key_7, false, 55},
    {Qt::Key_8, false, 56},
    {Qt::Key_9, false, 57},
    {Qt::Key_ParenRight, false, 48},
    {Qt::Key_Exclam, false, 49},
    {Qt::Key_At, false, 50},
    {Qt::Key_NumberSign, false, 51},
    {Qt::Key_Dollar, false, 52},
    {Qt::Key_Percent, false, 53},
    {Qt::Key_AsciiCircum, false, 54},
    {Qt::Key_Ampersand, false, 55},
    {Qt::Key_Asterisk, false, 56},
    {Qt::Key_ParenLeft, false, 57},

    // Punctuation keys of the US layout, unshifted and shifted.
    {Qt::Key_Semicolon, false, 186},
    {Qt::Key_Colon, false, 186},
    {Qt::Key_Equal, false, 187},
    {Qt::Key_Plus, false, 187},
    {Qt::Key_Comma, false, 188},
    {Qt::Key_Less, false, 188},
    {Qt::Key_Minus, false, 189},
    {Qt::Key_Underscore, false, 189},
    {Qt::Key_Period, false, 190},
    {Qt::Key_Greater, false, 190},
    {Qt::Key_Slash, false, 191},
    {Qt::Key_Question, false, 191},
    {Qt::Key_QuoteLeft, false, 192},
    {Qt::Key_AsciiTilde, false, 192},
    {Qt::Key_BracketLeft, false, 219},
    {Qt::Key_BraceLeft, false, 219},
    {Qt::Key_Backslash, false, 220},
    {Qt::Key_Bar, false, 220},
    {Qt::Key_BracketRight, false, 221},
    {Qt::Key_BraceRight, false, 221},
    {Qt::Key_Apostrophe, false, 222},
    {Qt::Key_QuoteDbl, false, 222},
};

// The typing keys by their place on the keyboard, as the native scan code of a Linux desktop
// tells it (the XKB keycode: the kernel's key code + 8). Each gets the number of the key in that
// place on a US keyboard, whatever the layout prints on it; the keys a US keyboard lacks get
// the numbers Windows gives them (226 beside the left Shift, 193 beside the right Shift on
// Brazilian and Japanese keyboards, 223 for the yen key). Letter places are marked with their
// letter.
struct PhysicalKey {
    quint32 scanCode;
    int virtualKey;
    bool letterPlace;
};

constexpr quint32 kXkbOffset = 8;

constexpr PhysicalKey Key(quint32 evdev, int virtualKey, bool letter = false) {
    return {evdev + kXkbOffset, virtualKey, letter};
}

constexpr PhysicalKey kPhysicalKeys[] = {
    Key(41, 192),  // ` ~
    Key(2, '1'),        Key(3, '2'),        Key(4, '3'),        Key(5, '4'),
    Key(6, '5'),        Key(7, '6'),        Key(8, '7'),        Key(9, '8'),
    Key(10, '9'),       Key(11, '0'),       Key(12, 189),       Key(13, 187),  // - =
    Key(16, 'Q', true), Key(17, 'W', true), Key(18, 'E', true), Key(19, 'R', true),
    Key(20, 'T', true), Key(21, 'Y', true), Key(22, 'U', true), Key(23, 'I', true),
    Key(24, 'O', true), Key(25, 'P', true), Key(26, 219),       Key(27, 221),  // [ ]
    Key(30, 'A', true), Key(31, 'S', true), Key(32, 'D', true), Key(33, 'F', true),
    Key(34, 'G', true), Key(35, 'H', true), Key(36, 'J', true), Key(37, 'K', true),
    Key(38, 'L', true), Key(39, 186),       Key(40, 222),       Key(43, 220),  // ; ' backslash
    Key(44, 'Z', true), Key(45, 'X', true), Key(46, 'C', true), Key(47, 'V', true),
    Key(48, 'B', true), Key(49, 'N', true), Key(50, 'M', true), Key(51, 188),
    Key(52, 190),       Key(53, 191),  // , . /
    Key(86, 226),                      // the ISO key beside Shift
    Key(89, 193),                      // ABNT / JIS: / ? and ro
    Key(124, 223),                     // JIS yen
};

// A key in a letter place that gives no letter A-Z (a comma on some layouts, an AltGr symbol)
// must not take the number of the letter that its layout has elsewhere.
constexpr int kNonLetterInLetterPlace = 256;

const KeyMapping* Find(const KeyMapping* begin, const KeyMapping* end, int qtKey, bool keypad) {
    const KeyMapping* match = std::find_if(
        begin, end, [&](const KeyMapping& m) { return m.qtKey == qtKey && m.keypad == keypad; });
    return match != end ? match : nullptr;
}

// Whether Qt's key is a character that is a letter in any script (Qt reports characters by
// their upper-case code point, special keys from 0x01000000 on).
bool IsLetter(int qtKey) {
    return qtKey > 0 && qtKey < 0x01000000 && QChar::isLetter(static_cast<char32_t>(qtKey));
}

constexpr int kSpace = 32;
constexpr int kEnter = 13;
constexpr int kScrollLock = 145;

}  // namespace

int VirtualKeyFromQt(int qtKey, Qt::KeyboardModifiers modifiers, quint32 nativeScanCode) {
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) return 65 + (qtKey - Qt::Key_A);
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24) return 112 + (qtKey - Qt::Key_F1);

    const bool fromKeypad = modifiers.testFlag(Qt::KeypadModifier);
    // A keypad key without its own entry (Home with Num Lock off) falls through to the
    // main-keyboard entries.
    for (const bool keypadEntries : {true, false}) {
        if (keypadEntries && !fromKeypad) continue;
        if (const KeyMapping* m =
                Find(std::begin(kKeyTable), std::end(kKeyTable), qtKey, keypadEntries))
            return m->virtualKey;
    }
    if (!fromKeypad && nativeScanCode != 0) {
        const auto place =
            std::find_if(std::begin(kPhysicalKeys), std::end(kPhysicalKeys),
                         [&](const PhysicalKey& k) { return k.scanCode == nativeScanCode; });
        if (place != std::end(kPhysicalKeys)) {
            if (!place->letterPlace || IsLetter(qtKey)) return place->virtualKey;
            return kNonLetterInLetterPlace + place->virtualKey;
        }
    }
    if (const KeyMapping* m =
            Find(std::begin(kUsCharacterTable), std::end(kUsCharacterTable), qtKey, false))
        return m->virtualKey;
    return 0;
}

int VirtualKeyFromEvent(const QKeyEvent& event) {
    return VirtualKeyFromQt(event.key(), event.modifiers(), event.nativeScanCode());
}

int FilterShortCuts(int& key) {
    const int original = key;
    if (key == kSpace || key == kEnter) key = kScrollLock;
    return original;
}

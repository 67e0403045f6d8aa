// Key numbers on keyboard layouts other than US, from the key and the native scan code that a
// Linux desktop reports (the XKB keycode: the kernel's key code + 8).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "ui/adapters/key_codes_qt.h"

namespace {

// One key of a layout: where it is (kernel key code), what Qt reports for it unshifted, and the
// number it must give.
struct LayoutKey {
    quint32 evdev;
    int qtKey;
    int virtualKey;
};

quint32 Scan(quint32 evdev) {
    return evdev + 8;
}

// The digit row, the punctuation places and a few letter places of four layouts.
const std::map<std::string, std::vector<LayoutKey>> kLayouts = {
    {"us",
     {{41, Qt::Key_QuoteLeft, 192},
      {2, Qt::Key_1, 49},
      {3, Qt::Key_2, 50},
      {11, Qt::Key_0, 48},
      {12, Qt::Key_Minus, 189},
      {13, Qt::Key_Equal, 187},
      {16, Qt::Key_Q, 81},
      {26, Qt::Key_BracketLeft, 219},
      {27, Qt::Key_BracketRight, 221},
      {30, Qt::Key_A, 65},
      {39, Qt::Key_Semicolon, 186},
      {40, Qt::Key_Apostrophe, 222},
      {43, Qt::Key_Backslash, 220},
      {44, Qt::Key_Z, 90},
      {50, Qt::Key_M, 77},
      {51, Qt::Key_Comma, 188},
      {52, Qt::Key_Period, 190},
      {53, Qt::Key_Slash, 191}}},
    {"fr",
     {{41, Qt::Key_twosuperior, 192},
      {2, Qt::Key_Ampersand, 49},
      {3, Qt::Key_Eacute, 50},
      {4, Qt::Key_QuoteDbl, 51},
      {5, Qt::Key_Apostrophe, 52},
      {6, Qt::Key_ParenLeft, 53},
      {7, Qt::Key_Minus, 54},
      {8, Qt::Key_Egrave, 55},
      {9, Qt::Key_Underscore, 56},
      {10, Qt::Key_Ccedilla, 57},
      {11, Qt::Key_Agrave, 48},
      {12, Qt::Key_ParenRight, 189},
      {13, Qt::Key_Equal, 187},
      {16, Qt::Key_A, 65},
      {17, Qt::Key_Z, 90},
      {26, Qt::Key_Dead_Circumflex, 219},
      {27, Qt::Key_Dollar, 221},
      {30, Qt::Key_Q, 81},
      {39, Qt::Key_M, 77},
      {40, Qt::Key_Ugrave, 222},
      {43, Qt::Key_Asterisk, 220},
      {44, Qt::Key_W, 87},
      {50, Qt::Key_Comma, 256 + 77},  // in the M place; M itself is beside L
      {51, Qt::Key_Semicolon, 188},
      {52, Qt::Key_Colon, 190},
      {53, Qt::Key_Exclam, 191},
      {86, Qt::Key_Less, 226}}},
    {"de",
     {{41, Qt::Key_Dead_Circumflex, 192},
      {2, Qt::Key_1, 49},
      {11, Qt::Key_0, 48},
      {12, Qt::Key_ssharp, 189},
      {13, Qt::Key_Dead_Acute, 187},
      {21, Qt::Key_Z, 90},
      {26, Qt::Key_Udiaeresis, 219},
      {27, Qt::Key_Plus, 221},
      {39, Qt::Key_Odiaeresis, 186},
      {40, Qt::Key_Adiaeresis, 222},
      {43, Qt::Key_NumberSign, 220},
      {44, Qt::Key_Y, 89},
      {51, Qt::Key_Comma, 188},
      {52, Qt::Key_Period, 190},
      {53, Qt::Key_Minus, 191},
      {86, Qt::Key_Less, 226}}},
    {"ru",
     {{41, 0x401, 192},
      {2, Qt::Key_1, 49},
      {12, Qt::Key_Minus, 189},
      {16, 0x419, 81},
      {26, 0x425, 219},
      {27, 0x42A, 221},
      {30, 0x424, 65},
      {39, 0x416, 186},
      {40, 0x42D, 222},
      {43, Qt::Key_Backslash, 220},
      {44, 0x42F, 90},
      {51, 0x411, 188},
      {52, 0x42E, 190},
      {53, Qt::Key_Period, 191}}},
};

}  // namespace

TEST(KeyCodesOnLayouts, EveryKeyGivesTheNumberOfItsPlaceOrItsLetter) {
    for (const auto& [layout, keys] : kLayouts) {
        for (const LayoutKey& k : keys)
            EXPECT_EQ(VirtualKeyFromQt(k.qtKey, Qt::NoModifier, Scan(k.evdev)), k.virtualKey)
                << layout << " key " << k.evdev << " qt " << std::hex << k.qtKey;
    }
}

TEST(KeyCodesOnLayouts, NoTwoKeysOfALayoutShareANumberAndNoneIsZero) {
    for (const auto& [layout, keys] : kLayouts) {
        std::set<int> seen;
        for (const LayoutKey& k : keys) {
            const int code = VirtualKeyFromQt(k.qtKey, Qt::NoModifier, Scan(k.evdev));
            EXPECT_NE(code, 0) << layout << " key " << k.evdev;
            EXPECT_TRUE(seen.insert(code).second) << layout << " key " << k.evdev << " " << code;
        }
    }
}

TEST(KeyCodesOnLayouts, ShiftAndAltGrDoNotChangeADigitOrPunctuationKey) {
    // AZERTY: the "1" key gives & plain and 1 shifted; German: ß, ? and AltGr+ß backslash.
    const int frOne[] = {Qt::Key_Ampersand, Qt::Key_1};
    for (const int qtKey : frOne) {
        EXPECT_EQ(VirtualKeyFromQt(qtKey, Qt::NoModifier, Scan(2)), 49);
        EXPECT_EQ(VirtualKeyFromQt(qtKey, Qt::ShiftModifier, Scan(2)), 49);
    }
    for (const int qtKey : {Qt::Key_ssharp, Qt::Key_Question, Qt::Key_Backslash})
        EXPECT_EQ(VirtualKeyFromQt(qtKey, Qt::NoModifier, Scan(12)), 189);
    // A letter keeps the letter's number whatever its place and modifiers.
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_A, Qt::ShiftModifier | Qt::ControlModifier, Scan(16)), 65);
}

TEST(KeyCodesOnLayouts, TheKeypadAndTheFixedKeysIgnoreTheScanCode) {
    // Keypad 1 and the main "1" key share the digit; only the keypad modifier tells them apart.
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_1, Qt::KeypadModifier, Scan(79)), 97);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Comma, Qt::KeypadModifier, Scan(83)), 110);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Space, Qt::NoModifier, Scan(57)), 32);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_F5, Qt::NoModifier, Scan(63)), 116);
    // A scan code outside the typing keys leaves the character to decide, as without one.
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Exclam, Qt::NoModifier, 999), 49);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Exclam, Qt::NoModifier, 0), 49);
    EXPECT_EQ(VirtualKeyFromQt(Qt::Key_Eacute, Qt::NoModifier, 0), 0);
}

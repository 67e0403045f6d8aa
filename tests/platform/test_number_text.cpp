#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>
#include <locale>
#include <sstream>
#include <string>

#include "platform/number_text.h"

namespace {

// A decimal comma and a "." for thousands: what a German or French user has.
class CommaDecimal : public std::numpunct<char> {
  protected:
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

// Switches the process to a comma-decimal locale for one test. The C locale can only change
// when such a locale is installed; the C++ locale always changes, through a facet if needed.
class ForeignLocale {
  public:
    ForeignLocale() : oldCppLocale_(std::locale()), oldCLocale_(std::setlocale(LC_ALL, nullptr)) {
        for (const char* name :
             {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8", "fr_FR"}) {
            if (std::setlocale(LC_ALL, name)) {
                cLocale_ = name;
                break;
            }
        }
        std::locale::global(std::locale(std::locale(), new CommaDecimal));
    }
    ~ForeignLocale() {
        std::locale::global(oldCppLocale_);
        std::setlocale(LC_ALL, oldCLocale_.c_str());
    }
    const std::string& cLocale() const { return cLocale_; }

  private:
    std::locale oldCppLocale_;
    std::string oldCLocale_;
    std::string cLocale_;
};

}  // namespace

TEST(NumberText, FormatGeneralUsesFifteenSignificantDigitsWithoutTrailingZeros) {
    EXPECT_EQ(FormatGeneral(120), "120");
    EXPECT_EQ(FormatGeneral(120.5), "120.5");
    EXPECT_EQ(FormatGeneral(2500000.0 / 120000), "20.8333333333333");
    EXPECT_EQ(FormatGeneral(131.578), "131.578");
    EXPECT_EQ(FormatGeneral(0.001), "0.001");
    EXPECT_EQ(FormatGeneral(-0.5), "-0.5");
    EXPECT_EQ(FormatGeneral(0.1 + 0.2), "0.3");
    EXPECT_EQ(FormatGeneral(2500), "2500");
    EXPECT_EQ(FormatGeneral(-2147483648.0), "-2147483648");
    EXPECT_EQ(FormatGeneral(123456789012345.0), "123456789012345");
    EXPECT_EQ(FormatGeneral(0.0001), "0.0001");
}

TEST(NumberText, FormatGeneralEdgeValues) {
    EXPECT_EQ(FormatGeneral(-0.0), "0");
    // Beyond 15 digits or below 1e-4 an exponent keeps the text short and still readable back.
    EXPECT_EQ(FormatGeneral(1e15), "1e+15");
    EXPECT_EQ(FormatGeneral(1234567890123456.0), "1.23456789012346e+15");
    EXPECT_EQ(FormatGeneral(0.00001), "1e-05");
    EXPECT_EQ(FormatGeneral(-2.5e-7), "-2.5e-07");
    EXPECT_EQ(FormatGeneral(std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(FormatGeneral(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(NumberText, FormattedValuesReadBack) {
    for (const double v :
         {120.0, 131.578, 0.001, -0.5, 2500000.0 / 120000, 1e15, 0.00001, -2.5e-7, 1e300}) {
        const auto back = ParseFloat(FormatGeneral(v));
        ASSERT_TRUE(back.has_value()) << FormatGeneral(v);
        // 15 digits keep the value to within one part in 1e14.
        EXPECT_NEAR(*back, v, std::abs(v) * 1e-14) << FormatGeneral(v);
    }
}

TEST(NumberText, ParseIntReadsDecimalWithSignAndBlanks) {
    EXPECT_EQ(ParseInt("120"), 120);
    EXPECT_EQ(ParseInt("-5"), -5);
    EXPECT_EQ(ParseInt("+7"), 7);
    EXPECT_EQ(ParseInt("007"), 7);  // decimal, not octal
    EXPECT_EQ(ParseInt(" \t42 "), 42);
    EXPECT_EQ(ParseInt("2147483647"), 2147483647);
    EXPECT_EQ(ParseInt("-2147483648"), std::numeric_limits<int32_t>::min());
}

TEST(NumberText, ParseIntReadsHexAfterPrefix) {
    EXPECT_EQ(ParseInt("0x1F"), 31);
    EXPECT_EQ(ParseInt("0XfF"), 255);
    EXPECT_EQ(ParseInt(" 0x18 "), 24);
    EXPECT_EQ(ParseInt("0x7FFFFFFF"), 2147483647);
    EXPECT_EQ(ParseInt("0x0"), 0);
}

TEST(NumberText, ParseIntRefusesEverythingElse) {
    for (const char* text :
         {"",           "   ",         "12a",        "a12",         "1 2",
          "12.5",       "1e3",         "2147483648", "-2147483649", "99999999999999999999",
          "+",          "-",           "+-5",        "-+5",         "- 5",
          "0x",         "0x 1",        "0x1G",       "0x-5",        "-0x10",
          "0x80000000", "0x1FFFFFFFF", "x10",        "1,000"}) {
        EXPECT_FALSE(ParseInt(text).has_value()) << '"' << text << '"';
    }
}

TEST(NumberText, ParseFloatReadsDotDecimals) {
    EXPECT_EQ(ParseFloat("120"), 120.0);
    EXPECT_EQ(ParseFloat("131.578"), 131.578);
    EXPECT_EQ(ParseFloat("-0.5"), -0.5);
    EXPECT_EQ(ParseFloat("+2.25"), 2.25);
    EXPECT_EQ(ParseFloat(".25"), 0.25);
    EXPECT_EQ(ParseFloat("5."), 5.0);
    EXPECT_EQ(ParseFloat("1e3"), 1000.0);
    EXPECT_EQ(ParseFloat("1.5E-3"), 0.0015);
    EXPECT_EQ(ParseFloat("-2.5e-07"), -2.5e-7);
    EXPECT_EQ(ParseFloat(" \t0.001\r "), 0.001);
}

TEST(NumberText, ParseFloatRefusesUnreadableText) {
    for (const char* text :
         {"",         "  ",    "1,5",    "120,000", "abc", "12a",  "1.2.3", "1e",
          "e5",       "1e999", "-1e999", "nan",     "NaN", "-nan", "inf",   "-inf",
          "infinity", "0x10",  "+-1",    "--1",     "- 1", "1 000"}) {
        EXPECT_FALSE(ParseFloat(text).has_value()) << '"' << text << '"';
    }
}

TEST(NumberText, CommaDecimalLocaleChangesNothing) {
    ForeignLocale locale;
    // The switch must be real, or this test would prove nothing.
    std::ostringstream cppText;
    cppText << 1.5;
    ASSERT_EQ(cppText.str(), "1,5");
    if (locale.cLocale().empty()) {
        std::cout << "[   NOTE   ] no German or French locale installed; only the C++ locale "
                     "has a decimal comma\n";
    } else {
        char cText[16];
        std::snprintf(cText, sizeof cText, "%.1f", 1.5);
        ASSERT_STREQ(cText, "1,5") << locale.cLocale();
    }

    EXPECT_EQ(FormatGeneral(120.5), "120.5");
    EXPECT_EQ(FormatGeneral(2500000.0 / 120000), "20.8333333333333");
    EXPECT_EQ(FormatGeneral(1234567.0), "1234567");  // no thousands separator either
    EXPECT_EQ(ParseFloat("131.578"), 131.578);
    EXPECT_EQ(ParseFloat("1e3"), 1000.0);
    EXPECT_FALSE(ParseFloat("131,578").has_value());
    EXPECT_EQ(ParseInt("1234567"), 1234567);
    EXPECT_FALSE(ParseInt("1.234").has_value());
    EXPECT_EQ(ParseInt("0x10"), 16);
}

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Numbers as they appear in settings and definition files. The text is the same whatever the
// user's locale ("." separator, no grouping), so files move freely between machines.

// Up to 15 significant digits, trailing zeros dropped: 120, 120.5, 0.001, 20.8333333333333.
// Magnitudes below 1e-4 or from 1e15 up use an exponent: 1e-05, 1e+15. Negative zero is "0";
// NaN and infinities come out as "nan", "inf" and "-inf", which ParseFloat refuses.
std::string FormatGeneral(double v);

// Decimal with an optional sign ("-12", "+7"), or hexadecimal after "0x"/"0X" without a sign
// ("0x7F"). Blanks around the number are allowed; anything else, or a value outside int32,
// gives nullopt.
std::optional<int32_t> ParseInt(std::string_view text);

// Decimal with "." as the separator, an optional sign and an optional exponent ("-0.5", "1e3",
// ".25"). Blanks around the number are allowed. Empty or unreadable text, a comma separator,
// NaN, infinities and values beyond the double range give nullopt.
std::optional<double> ParseFloat(std::string_view text);

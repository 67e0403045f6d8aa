#include "platform/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace {

std::string_view TrimBlanks(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// from_chars must consume the whole text: "12a" or "1,5" are unreadable, not 12 or 1.
template <typename T>
std::optional<T> ParseWhole(std::string_view text, auto... formatOrBase) {
    T value{};
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, formatOrBase...);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

}  // namespace

std::string FormatGeneral(double v) {
    if (v == 0.0) v = 0.0;  // turns -0.0 into 0.0, so no "-0" reaches a file
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::general, 15);
    return std::string(buffer, result.ptr);
}

std::optional<int32_t> ParseInt(std::string_view text) {
    text = TrimBlanks(text);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        // Parsed unsigned so that "0x-5" is refused rather than read as a negative number.
        const auto value = ParseWhole<uint32_t>(text.substr(2), 16);
        if (!value || *value > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
            return std::nullopt;
        return static_cast<int32_t>(*value);
    }
    // One sign, then a digit. from_chars takes a "-" itself but not a "+".
    std::string_view digits = text;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
    if (digits.empty() || !IsDigit(digits[0])) return std::nullopt;
    return ParseWhole<int32_t>(text[0] == '+' ? digits : text, 10);
}

std::optional<double> ParseFloat(std::string_view text) {
    text = TrimBlanks(text);
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    // Requiring a digit or "." here keeps out "nan", "inf" and a second sign.
    if (text.empty() || !(IsDigit(text[0]) || text[0] == '.')) return std::nullopt;
    const auto value = ParseWhole<double>(text, std::chars_format::general);
    if (!value || !std::isfinite(*value)) return std::nullopt;
    return negative ? -*value : *value;
}

// Value texts for messages and for the states and outbox files.
#include "base/ValueText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

// Below 1e-10 a value prints in exponent form; above, the places it needs.
constexpr int kSmallestFixedExponent = -10;
constexpr int kMaxDecimals = kValueDigits - 1 - kSmallestFixedExponent;

bool isWholeOrSpecial(double value) {
    return !std::isfinite(value) || value == std::floor(value);
}

// "%.0lf": up to 309 digits and a sign for the largest double.
std::string wholeNumber(double value) {
    char text[400];
    std::snprintf(text, sizeof text, "%.0lf", value);
    return text;
}

// Drops trailing zeros of the fraction, and the point when nothing follows it.
std::string withoutTrailingZeros(std::string text) {
    if (text.find('.') == std::string::npos) return text;
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    if (text == "-0") text = "0";
    return text;
}

}  // namespace

std::string formatValue(double value, bool decimals) {
    if (!decimals || isWholeOrSpecial(value)) return wholeNumber(value);
    int exponent = static_cast<int>(std::floor(std::log10(std::fabs(value))));
    char text[400];
    if (exponent < kSmallestFixedExponent) {
        // Fixed notation would show nothing but zeros.
        std::snprintf(text, sizeof text, "%.*g", kValueDigits, value);
        return text;
    }
    int places = std::clamp(kValueDigits - 1 - exponent, 0, kMaxDecimals);
    std::snprintf(text, sizeof text, "%.*f", places, value);
    return withoutTrailingZeros(text);
}

std::string formatStoredValue(double value, bool decimals) {
    if (!decimals || isWholeOrSpecial(value)) return wholeNumber(value);
    // The shortest fixed-point text that reads back as this double; the
    // smallest denormal needs a little over 320 characters.
    char text[512];
    std::to_chars_result result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    if (result.ec != std::errc()) return wholeNumber(value);
    return std::string(text, result.ptr);
}

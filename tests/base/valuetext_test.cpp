// Value texts: whole numbers as they always printed, decimals to ten
// significant digits for people, and exactly for the files read back.
#include "base/ValueText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

TEST(ValueText, WholeNumbersPrintAsBeforeAndDecimalsToTenDigits) {
    // value, text for a node that keeps decimals, text for any other node
    const std::tuple<double, const char*, const char*> cases[] = {
        {4294967295.0, "4294967295", "4294967295"},
        {-3.6, "-3.6", "-4"},
        {1234.0 * 0.1 - 40, "83.4", "83"},  // the rounding of the factor does not show
        {100.0 / 27648 * 13000, "47.01967593", "47"},
        {-0.000125, "-0.000125", "-0"},
        {2.5e-12, "2.5e-12", "0"},
    };
    for (const auto& [value, decimals, whole] : cases) {
        EXPECT_EQ(formatValue(value, true), decimals) << value;
        EXPECT_EQ(formatValue(value, false), whole) << value;
    }
}

TEST(ValueText, StoredDecimalsReadBackAsTheSameDouble) {
    for (double value : {0.1 + 0.2, 1.0 / 3, -2.4e-41}) {
        std::string text = formatStoredValue(value, true);
        EXPECT_EQ(text.find('e'), std::string::npos) << text;
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    }
    EXPECT_EQ(formatStoredValue(12.7, false), "13");
}

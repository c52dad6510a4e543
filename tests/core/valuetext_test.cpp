// Value texts: whole numbers as they always printed, decimals to ten
// significant digits for people, and exactly for the files read back.
#include "core/ValueText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

TEST(ValueText, WholeNumbersPrintAsBeforeAndDecimalsToTenDigits) {
    struct Case {
        double value;
        const char* decimals;  // a node that keeps decimals
        const char* whole;     // any other node
    } cases[] = {
        {120, "120", "120"},
        {4294967295.0, "4294967295", "4294967295"},
        {-2147483648.0, "-2147483648", "-2147483648"},
        {21.5, "21.5", "22"},
        {-3.6, "-3.6", "-4"},
        {0.1 + 0.2, "0.3", "0"},  // the rounding of the sum does not show
        {1234.0 * 0.1 - 40, "83.4", "83"},
        {100.0 / 27648 * 13000, "47.01967593", "47"},
        {-0.000125, "-0.000125", "-0"},
        {4294967.295, "4294967.295", "4294967"},
        {2.5e-12, "2.5e-12", "0"},
        {3.4028234663852886e38, "340282346638528859811704183484516925440",
         "340282346638528859811704183484516925440"},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(formatValue(k.value, true), k.decimals) << k.value;
        EXPECT_EQ(formatValue(k.value, false), k.whole) << k.value;
    }
    EXPECT_EQ(formatValue(std::numeric_limits<double>::quiet_NaN(), true), "nan");
}

TEST(ValueText, StoredDecimalsReadBackAsTheSameDouble) {
    for (double value : {0.1 + 0.2, 226 * 0.1, 1.0 / 3, -2.4e-41, 123456.789, 21.5}) {
        std::string text = formatStoredValue(value, true);
        EXPECT_EQ(text.find('e'), std::string::npos) << text;
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    }
    EXPECT_EQ(formatStoredValue(21.5, true), "21.5");
    EXPECT_EQ(formatStoredValue(12.7, false), "13");
    EXPECT_EQ(formatStoredValue(4294967295.0, true), "4294967295");
}

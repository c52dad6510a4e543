// The field tokenizer, the date parser and the text helpers.
#include "base/Text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

// All fields of a text, as the tokenizer gives them.
std::vector<std::string> fields(std::string text, const char* separators = ";") {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back(0);
    char* cursor = buffer.data();
    std::vector<std::string> out;
    while (char* field = nextToken(&cursor, separators)) out.push_back(field);
    return out;
}

using Fields = std::vector<std::string>;

}  // namespace

TEST(NextToken, SplitsAtSeparatorsAndDropsTheLineEnd) {
    EXPECT_EQ(fields("coupler;runmode;cycle\n"), (Fields{"coupler", "runmode", "cycle"}));
    EXPECT_EQ(fields("a;b"), (Fields{"a", "b"}));
    EXPECT_EQ(fields("a;"), (Fields{"a"}));
    EXPECT_EQ(fields("a;;"), (Fields{"a", ""}));
    EXPECT_EQ(fields(""), (Fields{""}));
    EXPECT_EQ(fields("node ;x"), (Fields{"node ", "x"})) << "blanks are never trimmed";
    EXPECT_EQ(fields("tcp:1.2.3.4:502", ":"), (Fields{"tcp", "1.2.3.4", "502"}));
}

TEST(NextToken, HonoursQuotes) {
    EXPECT_EQ(fields("\"x;y\";z"), (Fields{"x;y", "z"}));
    EXPECT_EQ(fields("\"say \"\"hi\"\"\";z"), (Fields{"say \"hi\"", "z"}));
    EXPECT_EQ(fields("a;\"last\""), (Fields{"a", "last"}));
    EXPECT_EQ(fields("\"open;ended"), (Fields{"open;ended"}));
    EXPECT_EQ(fields("\"\";b"), (Fields{"", "b"}));
}

TEST(NextToken, TrimsOnlyTrailingControlCharacters) {
    EXPECT_EQ(fields("a;b\r\n"), (Fields{"a", "b"}));
    EXPECT_EQ(fields("a;caf\xC3\xA9\n"), (Fields{"a", "caf\xC3\xA9"})) << "bytes of 0x80 and above stay";
    EXPECT_EQ(fields("a;b\t"), (Fields{"a", "b\t"})) << "TAB is kept";
    EXPECT_EQ(fields("\n"), (Fields{"\n"})) << "the first character is never trimmed";
}

TEST(NextToken, RefusesMissingCursorOrSeparators) {
    char text[] = "a;b";
    char* cursor = text;
    EXPECT_EQ(nextToken(nullptr, ";"), nullptr);
    EXPECT_EQ(nextToken(&cursor, ""), nullptr);
    EXPECT_EQ(nextToken(&cursor, nullptr), nullptr);
    char* none = nullptr;
    EXPECT_EQ(nextToken(&none, ";"), nullptr);
}

class ParseDateTime : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        savedTz_ = old ? old : "";
        hadTz_ = old != nullptr;
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::string savedTz_;
    bool hadTz_ = false;
};

TEST_F(ParseDateTime, ReadsLocalTimeWithBlankOrT) {
    // 2021-03-14 09:26:53 in Berlin (CET, UTC+1) is 08:26:53 UTC.
    EXPECT_EQ(parseDateTime("2021-03-14 09:26:53"), 1615710413);
    EXPECT_EQ(parseDateTime("2021-03-14T09:26:53"), 1615710413);
    EXPECT_EQ(parseDateTime("2021-03-14 09:26:53 and more"), 1615710413);
    EXPECT_EQ(parseDateTime("2021-03-14 09:26:5399"), 1615710413)
        << "characters after the seconds are ignored";
    // Summer time (CEST, UTC+2) applies on a date in July.
    EXPECT_EQ(parseDateTime("2021-07-01 12:00:00"), 1625133600);
}

TEST_F(ParseDateTime, RejectsOtherForms) {
    EXPECT_EQ(parseDateTime("2021-03-14 09:26:5"), 0) << "18 characters";
    EXPECT_EQ(parseDateTime("2021/03/14 09:26:53"), 0);
    EXPECT_EQ(parseDateTime("2021-03-14_09:26:53"), 0);
    EXPECT_EQ(parseDateTime(""), 0);
    EXPECT_EQ(parseDateTime(nullptr), 0);
}

TEST(TextHelpers, CopyTextCutsAndTerminates) {
    char small[4];
    copyText(small, "abcdef");
    EXPECT_STREQ(small, "abc");
    copyText(small, nullptr);
    EXPECT_STREQ(small, "");
}

TEST(TextHelpers, EqualsIgnoreCaseComparesWholeAsciiTexts) {
    EXPECT_TRUE(equalsIgnoreCase("SiMaTiC", "simatic"));
    EXPECT_FALSE(equalsIgnoreCase("simatic ", "simatic"));
    EXPECT_FALSE(equalsIgnoreCase("sim", "simatic"));
    EXPECT_FALSE(equalsIgnoreCase("\xC3\x84", "\xC3\xA4")) << "only ASCII letters fold";
}

TEST(TextHelpers, ParseIntHasAtoiSemantics) {
    EXPECT_EQ(parseInt("  42abc"), 42);
    EXPECT_EQ(parseInt("-5"), -5);
    EXPECT_EQ(parseInt("abc"), 0);
    EXPECT_EQ(parseInt("99999999999999999999"), 2147483647);
}

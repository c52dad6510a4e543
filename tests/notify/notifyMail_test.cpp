// The mail channel without a server: recipient from the address line, the
// composed message (headers, date, subject and body encodings) and the
// libcurl read callback.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Settings.h"
#include "cycle/Coupler.h"
#include "notify/MailMessage.h"
#include "notify/Sender.h"
#include "notify/channels/MailChannel.h"
#include "support/TestSupport.h"

using testsupport::hasBareLineEnd;

namespace {

std::string recipientOf(const char* rest) {
    if (!rest) return MailChannel(nullptr).getRecipient();
    std::vector<char> buffer(rest, rest + std::strlen(rest) + 1);
    return MailChannel(buffer.data()).getRecipient();
}

// Decoders written independently of the encoders under test.
std::string fromBase64(const std::string& text) {
    std::string out;
    unsigned int bits = 0;
    int count = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else
            continue;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

std::string fromQuotedPrintable(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
        } else if (text.compare(i, 3, "=\r\n") == 0) {
            i += 2;
        } else if (i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
    }
    return out;
}

std::vector<std::string> crlfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    if (at < text.size()) lines.push_back(text.substr(at));
    return lines;
}

// Undoes a Subject header as a mail client does: unfold, then decode adjacent
// encoded words, which are joined without the blanks between them.
std::string decodeSubject(const std::string& header) {
    std::string value = header.substr(std::strlen("Subject: "));
    std::string unfolded;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value.compare(i, 2, "\r\n") == 0) {
            ++i;
            continue;
        }
        unfolded += value[i];
    }
    if (unfolded.rfind("=?UTF-8?B?", 0) != 0) return unfolded;
    std::string out;
    size_t at = 0;
    while ((at = unfolded.find("=?UTF-8?B?", at)) != std::string::npos) {
        size_t end = unfolded.find("?=", at + 10);
        out += fromBase64(unfolded.substr(at + 10, end - at - 10));
        at = end + 2;
    }
    return out;
}

class FixedLocalTime : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        hadTz_ = tz != nullptr;
        if (tz) savedTz_ = tz;
        setenv("TZ", "CET-1", 1);  // one hour east of UTC, no daylight saving
        tzset();
    }
    void TearDown() override {
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool hadTz_ = false;
    std::string savedTz_;
};

// Sunday, 6 December 2026, 12:16:40 UTC.
constexpr int64_t kSunday = 1796559400;

}  // namespace

TEST(MailRecipient, IsTheAddressRestUpToTheFirstColon) {
    EXPECT_EQ(recipientOf("ops@example.org"), "ops@example.org");
    EXPECT_EQ(recipientOf("ops@example.org:rest:more"), "ops@example.org");
    EXPECT_EQ(recipientOf("ops;team@example.org:x"), "ops;team@example.org") << "only the colon separates";
    EXPECT_EQ(recipientOf("a@b;c;d"), "a@b;c;d");
    EXPECT_EQ(recipientOf(""), "");
    EXPECT_EQ(recipientOf(nullptr), "");
    EXPECT_EQ(recipientOf(std::string(150, 'r').c_str()), std::string(99, 'r'));
}

TEST(MailDate, HasEnglishNamesTwoDigitDayAndTheZone) {
    struct tm t {};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 6;
    t.tm_wday = 0;
    t.tm_hour = 13;
    t.tm_min = 16;
    t.tm_sec = 40;
    char out[64];
    ASSERT_TRUE(formatMailDate(out, sizeof out, t, 3600));
    EXPECT_STREQ(out, "Sun, 06 Dec 2026 13:16:40 +0100");
    ASSERT_TRUE(formatMailDate(out, sizeof out, t, -(3 * 3600 + 30 * 60)));
    EXPECT_STREQ(out, "Sun, 06 Dec 2026 13:16:40 -0330");
    ASSERT_TRUE(formatMailDate(out, sizeof out, t, 0));
    EXPECT_STREQ(out, "Sun, 06 Dec 2026 13:16:40 +0000");

    t.tm_mon = 0;
    t.tm_wday = 6;
    t.tm_mday = 30;
    ASSERT_TRUE(formatMailDate(out, sizeof out, t, 3600));
    EXPECT_STREQ(out, "Sat, 30 Jan 2026 13:16:40 +0100");

    // Out-of-range fields would index past the name tables.
    t.tm_mon = 12;
    EXPECT_FALSE(formatMailDate(out, sizeof out, t, 0));
    EXPECT_STREQ(out, "");
    t.tm_mon = 0;
    t.tm_wday = -1;
    EXPECT_FALSE(formatMailDate(out, sizeof out, t, 0));
    t.tm_wday = 0;
    EXPECT_FALSE(formatMailDate(out, 10, t, 0)) << "too small a buffer gives no half date";
    EXPECT_STREQ(out, "");
}

TEST_F(FixedLocalTime, MessageHasEveryHeaderAndBodyLineWithCrlf) {
    MailContent c;
    c.from = "zentok@plant.example";
    c.to = "ops@example.org";
    c.sourceName = "plantA";
    c.address = "400001";
    c.text = "Level high: 120";
    c.value = 119.6;
    c.when = kSunday;
    c.messageId = "<1.2.3@plant.example>";
    std::string mail = composeMail(c);
    EXPECT_FALSE(hasBareLineEnd(mail));
    std::vector<std::string> expected = {
        "From: zentok@plant.example",
        "To: ops@example.org",
        "Date: Sun, 06 Dec 2026 13:16:40 +0100",
        "Subject: plantA: Level high: 120",
        "Message-ID: <1.2.3@plant.example>",
        "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=UTF-8",
        "Content-Transfer-Encoding: 8bit",
        "",
        "M: Level high: 120",
        "T: 2026-12-06 13:16:40",
        "S: plantA",
        "A: 400001",
        "V: 120",
        "",
        std::string("sent by Zentok, ") + kMakerAddress,
    };
    EXPECT_EQ(crlfLines(mail), expected);
    EXPECT_EQ(mail.substr(mail.size() - 2), "\r\n");
}

TEST_F(FixedLocalTime, LineBreaksInTheTextCannotForgeHeadersOrBareLineEnds) {
    MailContent c;
    c.from = "z@p.example";
    c.to = "o@e.example";
    c.sourceName = "plant";
    c.text = "first\nBcc: victim@example.org\rthird\r\n.";
    c.when = kSunday;
    c.messageId = "<x@p.example>";
    std::string mail = composeMail(c);
    EXPECT_FALSE(hasBareLineEnd(mail));
    std::vector<std::string> lines = crlfLines(mail);
    for (const auto& line : lines) {
        if (line.empty()) break;  // end of the header
        EXPECT_NE(line.rfind("Bcc:", 0), 0u) << "a header line was forged";
    }
    EXPECT_NE(mail.find("Subject: plant: first Bcc: victim@example.org third  .\r\n"), std::string::npos);
    EXPECT_NE(mail.find("\r\nM: first\r\nBcc: victim@example.org\r\nthird\r\n.\r\nT: "), std::string::npos)
        << "in the body every break is one CRLF";
}

TEST(MailSubject, PlainAsciiIsFoldedAtBlanksAndUnfoldsToTheSameText) {
    EXPECT_EQ(subjectHeader("plantA: Level high"), "Subject: plantA: Level high");

    std::string longText;
    for (int i = 0; i < 60; ++i) longText += "word" + std::to_string(i) + (i % 7 ? " " : "  ");
    longText += "end";
    std::string header = subjectHeader(longText);
    EXPECT_EQ(header.find("=?"), std::string::npos);
    std::vector<std::string> lines = crlfLines(header);
    ASSERT_GT(lines.size(), 3u);
    for (const auto& line : lines) {
        EXPECT_LE(line.size(), 78u);
        EXPECT_NE(line.find_first_not_of(" \t"), std::string::npos) << "a folded line of blanks alone";
    }
    EXPECT_EQ(decodeSubject(header), longText);
}

TEST(MailSubject, OtherTextBecomesEncodedWordsThatDecodeExactly) {
    const std::string cases[] = {
        "plantA: F\xC3\xBCllstand \xC3\xBC"
        "ber 120 \xC2\xB0"
        "C",                                                        // UTF-8
        "=?UTF-8?Q?looks_encoded?=",                                // would be decoded by a client
        std::string(1200, 'x'),                                     // cannot be folded
        std::string(100, 'a') + std::string(30, ' ') + "\x01tail",  // a control character
    };
    for (const auto& value : cases) {
        std::string header = subjectHeader(value);
        ASSERT_EQ(header.rfind("Subject: =?UTF-8?B?", 0), 0u) << value;
        for (const auto& line : crlfLines(header)) EXPECT_LE(line.size(), 76u);
        // Each encoded word stays within 75 characters.
        for (size_t at = 0; (at = header.find("=?UTF-8?B?", at)) != std::string::npos; ++at) {
            size_t end = header.find("?=", at + 10);
            ASSERT_NE(end, std::string::npos);
            EXPECT_LE(end + 2 - at, 75u);
        }
        EXPECT_EQ(decodeSubject(header), value);
    }

    // A long run of two-byte characters: no word may hold half a character.
    std::string umlauts;
    for (int i = 0; i < 80; ++i) umlauts += "\xC3\xA4";
    std::string header = subjectHeader(umlauts);
    for (size_t at = 0; (at = header.find("=?UTF-8?B?", at)) != std::string::npos; ++at) {
        size_t end = header.find("?=", at + 10);
        std::string word = fromBase64(header.substr(at + 10, end - at - 10));
        ASSERT_FALSE(word.empty());
        EXPECT_NE(static_cast<unsigned char>(word[0]) & 0xC0, 0x80u) << "word starts inside a character";
        EXPECT_EQ(word.size() % 2, 0u);
    }
    EXPECT_EQ(decodeSubject(header), umlauts);
}

TEST(MailBody, LongLinesAreSentQuotedPrintable) {
    bool qp = true;
    EXPECT_EQ(bodyForTransfer("a\nb\rc\r\nd", &qp), "a\r\nb\r\nc\r\nd\r\n");
    EXPECT_FALSE(qp);
    EXPECT_EQ(bodyForTransfer(std::string(998, 'x'), &qp), std::string(998, 'x') + "\r\n");
    EXPECT_FALSE(qp) << "998 octets are still allowed";

    std::string text = "M: " + std::string(1500, 'y') + " = \xC3\xBC \t\n.dot\nend \n";
    std::string sent = bodyForTransfer(text, &qp);
    ASSERT_TRUE(qp);
    EXPECT_FALSE(hasBareLineEnd(sent));
    for (const auto& line : crlfLines(sent)) {
        EXPECT_LE(line.size(), 76u);
        EXPECT_NE(line.rfind(".", 0), 0u) << "a line starting with a dot";
        if (!line.empty()) {
            EXPECT_TRUE(line.back() != ' ' && line.back() != '\t') << "trailing blank: " << line;
        }
    }
    std::string expected = text;
    size_t at = 0;
    while ((at = expected.find('\n', at)) != std::string::npos) {
        expected.replace(at, 1, "\r\n");
        at += 2;
    }
    EXPECT_EQ(fromQuotedPrintable(sent), expected);
}

TEST(MailMessageId, IsUniqueAndTakesTheDomainOfTheSender) {
    std::string a = makeMessageId("zentok@plant.example", kSunday);
    std::string b = makeMessageId("zentok@plant.example", kSunday);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.front(), '<');
    EXPECT_EQ(a.substr(a.size() - 15), "@plant.example>");
    EXPECT_EQ(a.find(' '), std::string::npos);
    std::string named = makeMessageId("Alarm <alarm@plant.example>", kSunday);
    EXPECT_EQ(named.substr(named.size() - 15), "@plant.example>");
    std::string none = makeMessageId("nobody", kSunday);
    EXPECT_EQ(none.substr(none.size() - 11), "@localhost>");
    std::string odd = makeMessageId("x@evil>\r\nBcc: y", kSunday);
    EXPECT_EQ(odd.find_first_of("\r\n"), std::string::npos);
    std::string bad = makeMessageId("x@ex;ample", kSunday);
    EXPECT_EQ(bad.substr(bad.size() - 11), "@localhost>");
}

TEST(MailReadCallback, DeliversTheFileInPiecesThenZero) {
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fputs("0123456789", file);
    std::rewind(file);
    char buffer[8] = {};
    EXPECT_EQ(MailChannel::readMessage(buffer, 0, 4, file), 0u);
    EXPECT_EQ(MailChannel::readMessage(buffer, 1, 0, file), 0u);
    EXPECT_EQ(MailChannel::readMessage(buffer, 1, 4, file), 4u);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(MailChannel::readMessage(buffer, 1, 8, file), 6u);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    EXPECT_EQ(MailChannel::readMessage(buffer, 1, 8, file), 0u);
    EXPECT_EQ(MailChannel::readMessage(buffer, 1, 8, nullptr), 0u);
    std::fclose(file);
}

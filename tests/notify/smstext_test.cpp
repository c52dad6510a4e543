// SMS texts: the alphabet and the parts a text takes, and the strict reader
// of a received spool file.
#include "notify/SmsText.h"

#include <gtest/gtest.h>

#include <string>

TEST(SmsText, ChoosesTheAlphabetAndCountsParts) {
    struct Case {
        std::string text;
        bool ucs2;
        int parts;
        int characters;
    } cases[] = {
        {"Tank high 160", false, 1, 13},
        {std::string(160, 'a'), false, 1, 160},
        {std::string(81, '{'), false, 2, 81},     // the extension table takes two septets each
        {std::string(161, 'a'), false, 2, 161},   // 153 per part once concatenated
        {std::string(1000, 'a'), false, 3, 459},  // cut to three parts, "..." included
        {"Temp 80 \xc2\xb0"
         "C",
         true, 1, 10},  // the degree sign has no GSM character
        {std::string(71, 'a') + "\xc2\xb0", true, 2, 72},
    };
    for (const Case& c : cases) {
        SmsText text = fitSms(c.text);
        EXPECT_EQ(text.ucs2, c.ucs2) << c.text;
        EXPECT_EQ(text.parts, c.parts) << c.text;
        EXPECT_EQ(text.characters, c.characters) << c.text;
    }
    EXPECT_EQ(fitSms(std::string(1000, 'a')).body.substr(453), "aaa...");
    EXPECT_EQ(smsSpoolFile("+49151", fitSms("\xe2\x82\xac 5")), "To: +49151\n\n\xa4 5")
        << "the euro in ISO-8859-15";
    EXPECT_EQ(smsSpoolFile("+49151", fitSms("\xc2\xb0")),
              std::string("To: +49151\nAlphabet: UCS2\n\n\x00\xb0", 29));
}

TEST(SmsText, ReadsAReceivedFileStrictly) {
    struct Case {
        std::string file;
        bool read;
        std::string from;
        std::string text;
    } cases[] = {
        {"From: 4915100000002\nReceived: 26-12-08 01:00:05\n\nACK tank1", true, "4915100000002", "ACK tank1"},
        {"From: +4915100000002\r\n\r\nACK\ntank1", true, "4915100000002", "ACK tank1"},
        {std::string("From: 49151\nAlphabet: UCS2\n\n\x00"
                     "A\x00\xe4",
                     32),
         true, "49151", "A\xc3\xa4"},
        {"From: 49151\nFrom: 49152\n\nACK x", false, "", ""},
        {"From: anna\n\nACK x", false, "", ""},
        {"Received: today\n\nACK x", false, "", ""},
        {"From: 49151\nACK x", false, "", ""},
        {std::string("From: 49151\x00\n\nACK x", 19), false, "", ""},
        {std::string("From: 49151\nAlphabet: UCS2\n\n\x00", 29), false, "", ""},
        {"From: 49151\n\n" + std::string(5000, 'a'), false, "", ""},
    };
    for (const Case& c : cases) {
        IncomingSms sms;
        std::string why;
        ASSERT_EQ(readIncomingSms(c.file, &sms, &why), c.read) << c.file << why;
        if (!c.read) continue;
        EXPECT_EQ(sms.from, c.from);
        EXPECT_EQ(sms.text, c.text);
    }
}

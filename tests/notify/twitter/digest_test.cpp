// SHA-1, HMAC-SHA1, Base64 and URL encoding against published vectors, and
// SHA-1 and HMAC against the openssl command line on random inputs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/Encoding.h"
#include "notify/twitter/Sha1.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

std::string toHex(const uint8_t* bytes, size_t length) {
    static const char* const kDigits = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 15];
    }
    return hex;
}

std::string sha1Hex(const std::string& data) {
    Sha1 sha1;
    sha1.reset();
    sha1.update(reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(data.size()));
    sha1.finalize();
    uint8_t digest[Sha1::kDigestSize];
    sha1.digest(digest);
    return toHex(digest, sizeof digest);
}

std::string hmacHex(const std::string& key, const std::string& message) {
    uint8_t digest[Sha1::kDigestSize];
    HmacSha1 hmac;
    hmac.compute(reinterpret_cast<const uint8_t*>(message.data()), message.size(),
                 reinterpret_cast<const uint8_t*>(key.data()), key.size(), digest);
    return toHex(digest, sizeof digest);
}

std::string randomBytes(std::mt19937& random, size_t length) {
    std::string bytes(length, '\0');
    for (auto& b : bytes) b = static_cast<char>(random() & 255);
    return bytes;
}

// Runs `command` and maps each file named in its "HASH *FILE" output lines to
// the hash (openssl dgst -r).
std::map<std::string, std::string> digestsFromOpenssl(const std::string& command) {
    std::map<std::string, std::string> result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char line[4096];
    while (fgets(line, sizeof line, pipe)) {
        std::string text(line);
        size_t star = text.find(" *");
        if (star == std::string::npos) continue;
        std::string file = text.substr(star + 2);
        while (!file.empty() && (file.back() == '\n' || file.back() == '\r')) file.pop_back();
        result[file] = text.substr(0, star);
    }
    pclose(pipe);
    return result;
}

}  // namespace

TEST(Sha1Test, Fips180Vectors) {
    EXPECT_EQ(sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

    // A million "a", fed in uneven pieces so block boundaries fall inside updates.
    Sha1 sha1;
    sha1.reset();
    std::string piece(997, 'a');
    size_t left = 1000000;
    while (left > 0) {
        size_t n = left < piece.size() ? left : piece.size();
        sha1.update(reinterpret_cast<const uint8_t*>(piece.data()), static_cast<uint32_t>(n));
        left -= n;
    }
    sha1.finalize();
    uint8_t digest[20];
    sha1.digest(digest);
    EXPECT_EQ(toHex(digest, 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1Test, MatchesOpensslForEveryLengthUpToFourBlocksAndALargeInput) {
    TempDir dir;
    std::mt19937 random(20261207);
    std::map<std::string, std::string> ours;
    std::string command = "openssl dgst -sha1 -r";
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 4 * 64 + 1; ++n) lengths.push_back(n);
    lengths.push_back(3 * 1024 * 1024 + 17);
    for (size_t n : lengths) {
        std::string data = randomBytes(random, n);
        std::string file = dir.file("in" + std::to_string(n));
        writeFile(file, data);
        ours[file] = sha1Hex(data);
        command += " '" + file + "'";
    }
    auto theirs = digestsFromOpenssl(command + " 2>/dev/null");
    ASSERT_EQ(theirs.size(), ours.size()) << "openssl did not hash every file";
    for (const auto& entry : ours) EXPECT_EQ(entry.second, theirs[entry.first]) << entry.first;
}

TEST(Sha1Test, BitCountCarriesPast512MiB) {
    // 2^29 bytes fill the low word of the bit count; the rest must carry into
    // the high word. Fed in one piece of 2^29 + 3 bytes after 1 MiB pieces.
    const size_t kMiB = 1 << 20;
    std::vector<uint8_t> zeros(kMiB + 3, 0);
    Sha1 sha1;
    sha1.reset();
    for (int i = 0; i < 511; ++i) sha1.update(zeros.data(), static_cast<uint32_t>(kMiB));
    sha1.update(zeros.data(), static_cast<uint32_t>(kMiB + 3));
    sha1.finalize();
    uint8_t digest[20];
    sha1.digest(digest);

    std::string theirs;
    FILE* pipe = popen("head -c 536870915 /dev/zero | openssl dgst -sha1 -r", "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = "";
    if (fgets(line, sizeof line, pipe)) theirs = std::string(line).substr(0, 40);
    pclose(pipe);
    EXPECT_EQ(toHex(digest, 20), theirs);
}

TEST(Sha1Test, HashFileReportsAndWipes) {
    TempDir dir;
    // 8000-byte chunks: a file of two whole chunks and a remainder.
    std::mt19937 random(7);
    std::string data = randomBytes(random, 2 * 8000 + 123);
    writeFile(dir.file("data.bin"), data);

    Sha1 sha1;
    sha1.reset();
    ASSERT_TRUE(sha1.hashFile(dir.file("data.bin").c_str()));
    sha1.finalize();
    uint8_t digest[20];
    sha1.digest(digest);
    EXPECT_EQ(toHex(digest, 20), sha1Hex(data));

    EXPECT_FALSE(sha1.hashFile(nullptr));
    EXPECT_FALSE(sha1.hashFile(dir.file("missing.bin").c_str()));

    // The digest stays readable after finalize; a reset starts over cleanly.
    sha1.reset();
    sha1.update(reinterpret_cast<const uint8_t*>("abc"), 3);
    sha1.finalize();
    char report[200] = "";
    sha1.reportHash(report, sizeof report, Sha1::kReportHex);
    EXPECT_STREQ(report, "A9 99 3E 36 47 06 81 6A BA 3E 25 71 78 50 C2 6C 9C D0 D8 9D");
    EXPECT_EQ(strlen(report), 59u);

    char digits[200] = "sha1: ";
    sha1.reportHash(digits, sizeof digits, Sha1::kReportDigits);
    EXPECT_EQ(std::string(digits).rfind("sha1: 169 153 62 54 71 ", 0), 0u) << digits;
    EXPECT_EQ(std::string(digits).substr(strlen(digits) - 4), " 157");

    char other[200] = "kept?";
    sha1.reportHash(other, sizeof other, 7);
    EXPECT_STREQ(other, "Error: Unknown report type!");

    // A small buffer is never overrun: the report is cut.
    char small[12];
    memset(small, 'x', sizeof small);
    small[0] = 0;
    sha1.reportHash(small, 10, Sha1::kReportHex);
    EXPECT_STREQ(small, "A9 99 3E");
    EXPECT_EQ(small[10], 'x');
    sha1.reportHash(nullptr, 10, Sha1::kReportHex);  // does nothing
}

TEST(HmacSha1Test, Rfc2202Vectors) {
    EXPECT_EQ(hmacHex(std::string(20, '\x0b'), "Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00");
    EXPECT_EQ(hmacHex("Jefe", "what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    EXPECT_EQ(hmacHex(std::string(20, '\xaa'), std::string(50, '\xdd')),
              "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
    std::string key4;
    for (int i = 1; i <= 25; ++i) key4 += static_cast<char>(i);
    EXPECT_EQ(hmacHex(key4, std::string(50, '\xcd')), "4c9007f4026250c6bc8414f9bf50c86c2d7235da");
    EXPECT_EQ(hmacHex(std::string(20, '\x0c'), "Test With Truncation"),
              "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04");
    // Keys longer than the 64-byte block are hashed first.
    EXPECT_EQ(hmacHex(std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
              "aa4ae5e15272d00e95705637ce8a3b55ed402112");
    EXPECT_EQ(hmacHex(std::string(80, '\xaa'),
                      "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
              "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
}

TEST(HmacSha1Test, MatchesOpensslForKeyAndMessageLengthsAroundTheBlock) {
    TempDir dir;
    std::mt19937 random(4032);
    // Messages around one and two blocks, and one far beyond 4032 bytes.
    std::vector<size_t> messageLengths = {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 4032, 4033, 20000};
    for (size_t keyLength : {0, 1, 20, 63, 64, 65, 200}) {
        std::string key = randomBytes(random, keyLength);
        std::string command = "openssl dgst -sha1 -r -mac HMAC";
        // An empty key is padded with zero bytes like any short key, so the
        // one-byte key 00 stands in for it on the command line.
        command += " -macopt hexkey:" +
                   (keyLength == 0 ? std::string("00")
                                   : toHex(reinterpret_cast<const uint8_t*>(key.data()), key.size()));
        std::map<std::string, std::string> ours;
        for (size_t n : messageLengths) {
            std::string message = randomBytes(random, n);
            std::string file = dir.file("k" + std::to_string(keyLength) + "m" + std::to_string(n));
            writeFile(file, message);
            ours[file] = hmacHex(key, message);
            command += " '" + file + "'";
        }
        auto theirs = digestsFromOpenssl(command + " 2>/dev/null");
        ASSERT_EQ(theirs.size(), ours.size()) << "key length " << keyLength << ": " << command;
        for (const auto& entry : ours) EXPECT_EQ(entry.second, theirs[entry.first]) << entry.first;
    }
}

TEST(HmacSha1Test, OneObjectComputesSeveralMacs) {
    HmacSha1 hmac;
    uint8_t first[20], second[20];
    hmac.compute(reinterpret_cast<const uint8_t*>("Hi There"), 8, reinterpret_cast<const uint8_t*>("k"), 1,
                 first);
    hmac.compute(reinterpret_cast<const uint8_t*>("Hi There"), 8, reinterpret_cast<const uint8_t*>("k"), 1,
                 second);
    EXPECT_EQ(toHex(first, 20), toHex(second, 20));
    EXPECT_EQ(toHex(first, 20), hmacHex("k", "Hi There"));
}

TEST(Base64Test, Rfc4648Vectors) {
    auto enc = [](const std::string& s) {
        return base64Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    const std::vector<std::pair<std::string, std::string>> vectors = {{"", ""},
                                                                      {"f", "Zg=="},
                                                                      {"fo", "Zm8="},
                                                                      {"foo", "Zm9v"},
                                                                      {"foob", "Zm9vYg=="},
                                                                      {"fooba", "Zm9vYmE="},
                                                                      {"foobar", "Zm9vYmFy"},
                                                                      {"abc", "YWJj"},
                                                                      {"ab", "YWI="},
                                                                      {"a", "YQ=="}};
    for (const auto& v : vectors) {
        EXPECT_EQ(enc(v.first), v.second) << v.first;
        EXPECT_EQ(base64Decode(v.second), v.first) << v.second;
    }
    EXPECT_EQ(base64Encode(nullptr, 5), "");
    // All byte values survive a round trip; a 20-byte digest takes 28 characters, one "=".
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    EXPECT_EQ(base64Decode(enc(all)), all);
    std::string digest = enc(all.substr(200, 20));
    EXPECT_EQ(digest.size(), 28u);
    EXPECT_EQ(digest.find('='), 27u);
    EXPECT_EQ(enc("\xfb\xff"), "+/8=");
}

TEST(Base64Test, DecodeStopsAtPadOrForeignCharacter) {
    EXPECT_EQ(base64Decode("YWI="), "ab");
    EXPECT_EQ(base64Decode("YWJj YWJj"), "abc");  // stops at the blank
    EXPECT_EQ(base64Decode("YWJj=YWJj"), "abc");
    EXPECT_EQ(base64Decode("YW\nJj"), "a");  // "YW" is a group of 2: one byte
    EXPECT_EQ(base64Decode("Y"), "");        // a lone character gives nothing
    EXPECT_EQ(base64Decode("YWJ"), "ab");
    EXPECT_EQ(base64Decode("*abc"), "");
    EXPECT_EQ(base64Decode(std::string("YW\0Jj", 5)), "a");
    EXPECT_EQ(base64Decode("+/8="), "\xfb\xff");
}

TEST(UrlEncodeTest, KeepsOnlyUnreservedCharacters) {
    EXPECT_EQ(urlEncode("a b&c=d~"), "a%20b%26c%3Dd~");
    EXPECT_EQ(urlEncode(""), "");
    EXPECT_EQ(urlEncode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(urlEncode("+%/?#*'!"), "%2B%25%2F%3F%23%2A%27%21");
    EXPECT_EQ(urlEncode("\xc3\xbc"), "%C3%BC");  // UTF-8 bytes, no conversion
    EXPECT_EQ(urlEncode(std::string("\0\x7f\xff", 3)), "%00%7F%FF");
    EXPECT_EQ(urlEncode(urlEncode("a b")), "a%2520b");
    EXPECT_EQ(charToHex(0x0a), "0A");
    EXPECT_EQ(charToHex(0xc3), "C3");
}

// OAuth 1.0a signing: the published worked examples, the signature base
// string of real requests, the header line, and the token reply.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "base/Clock.h"
#include "base/Encoding.h"
#include "notify/twitter/OAuthSigner.h"
#include "notify/twitter/Sha1.h"

namespace {

// The header form of the signature of `base` under `key`, made from the
// primitives that the digest tests check against their vectors.
std::string expectedSignature(const std::string& base, const std::string& key) {
    uint8_t digest[Sha1::kDigestSize];
    HmacSha1 hmac;
    hmac.compute(reinterpret_cast<const uint8_t*>(base.data()), base.size(),
                 reinterpret_cast<const uint8_t*>(key.data()), key.size(), digest);
    return urlEncode(base64Encode(digest, sizeof digest));
}

std::string headerValue(const std::string& header, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(header, match, std::regex(name + "=\"([^\"]*)\""))) return "<missing>";
    return match[1];
}

class OAuthSignerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setClockForTesting([] { return int64_t(1700000000); });
        signer.setConsumerKey("ck");
        signer.setConsumerSecret("cs");
        signer.setAccessToken("tok");
        signer.setAccessTokenSecret("ts");
    }
    void TearDown() override { setClockForTesting(nullptr); }

    OAuthSigner signer;
};

}  // namespace

TEST(OAuthExamplesTest, OAuthCoreAppendixA) {
    OAuthSigner signer;
    signer.setConsumerSecret("kd94hf93k423kf44");
    signer.setAccessTokenSecret("pfkkdhi9sl3r4s00");
    OAuthParams params;
    OAuthSigner::parseParameterString("file=vacation.jpg&size=original", true, params);
    params["oauth_consumer_key"] = "dpf43f3p2l4k3l03";
    params["oauth_token"] = "nnch734d00sl2jdk";
    params["oauth_signature_method"] = "HMAC-SHA1";
    params["oauth_timestamp"] = "1191242096";
    params["oauth_nonce"] = "kllo9940pd9333jh";
    params["oauth_version"] = "1.0";
    std::string signature;
    ASSERT_TRUE(signer.computeSignature(kHttpGet, "http://photos.example.net/photos", params, signature));
    EXPECT_EQ(signature, urlEncode("tR3+Ty81lMeYAr/Fid0kMTYa/WM="));
}

TEST(OAuthExamplesTest, TwitterStatusUpdateExample) {
    OAuthSigner signer;
    signer.setConsumerSecret("kAcSOqF21Fu85e7zjz7ZN2U4ZRhfV3WpwPAoE3Z7kBw");
    signer.setAccessTokenSecret("LswwdoUaIvS8ltyTt5jkRh4J50vUPVVHtR2YPi5kE");
    OAuthParams params;
    OAuthSigner::parseParameterString("include_entities=true", true, params);
    OAuthSigner::parseParameterString(
        "status=" + urlEncode("Hello Ladies + Gentlemen, a signed OAuth request!"), false, params);
    params["oauth_consumer_key"] = "xvz1evFS4wEEPTGEFPHBog";
    params["oauth_nonce"] = "kYjzVBB8Y0ZFabxSWbWovY3uYSQ2pTgmZeNu2VS4cg";
    params["oauth_signature_method"] = "HMAC-SHA1";
    params["oauth_timestamp"] = "1318622958";
    params["oauth_token"] = "370773112-GmHxMAgYyLbNEtIKZeRNFsMKPR9EyMZeS9weJAEb";
    params["oauth_version"] = "1.0";
    std::string signature;
    ASSERT_TRUE(signer.computeSignature(kHttpPost, "https://api.twitter.com/1.1/statuses/update.json", params,
                                        signature));
    EXPECT_EQ(signature, "hCtSmYh%2BiHYCEqBWrE7C7hYmtUk%3D");
    EXPECT_FALSE(signer.computeSignature(9, "https://x/", params, signature));
    EXPECT_EQ(signature, "");
}

TEST_F(OAuthSignerTest, PostHeaderSignsBodyDoublyEncodedAroundTheOAuthItems) {
    std::string header;
    ASSERT_TRUE(signer.buildAuthorizationHeader(kHttpPost, "https://api.example/1.1/statuses/update.json",
                                                "in_reply_to_status_id=7&status=a%20b", header, false));
    const std::string nonce = signer.nonce();
    EXPECT_EQ(signer.timestamp(), "1700000000");
    EXPECT_TRUE(std::regex_match(nonce, std::regex("1700000000[0-9a-f]{1,3}"))) << nonce;

    const std::string base =
        "POST&https%3A%2F%2Fapi.example%2F1.1%2Fstatuses%2Fupdate.json&in_reply_to_status_id%3D7"
        "%26oauth_consumer_key%3Dck%26oauth_nonce%3D" +
        nonce +
        "%26oauth_signature_method%3DHMAC-SHA1%26oauth_timestamp%3D1700000000%26oauth_token%3Dtok"
        "%26oauth_version%3D1.0%26status%3Da%2520b";
    const std::string signature = expectedSignature(base, "cs&ts");
    EXPECT_EQ(header, "Authorization: OAuth oauth_consumer_key=\"ck\",oauth_nonce=\"" + nonce +
                          "\",oauth_signature=\"" + signature +
                          "\",oauth_signature_method=\"HMAC-SHA1\",oauth_timestamp=\"1700000000\","
                          "oauth_token=\"tok\",oauth_version=\"1.0\"");
}

TEST_F(OAuthSignerTest, QueryIsSignedWithTheBaseUrlAndLeftOutOfTheHeader) {
    std::string header;
    ASSERT_TRUE(signer.buildAuthorizationHeader(
        kHttpGet, "https://api.example/1.1/statuses/show.json?since_id=5&q=a b", "", header, false));
    const std::string base =
        "GET&https%3A%2F%2Fapi.example%2F1.1%2Fstatuses%2Fshow.json&oauth_consumer_key%3Dck"
        "%26oauth_nonce%3D" +
        signer.nonce() +
        "%26oauth_signature_method%3DHMAC-SHA1%26oauth_timestamp%3D1700000000"
        "%26oauth_token%3Dtok%26oauth_version%3D1.0%26q%3Da%2520b%26since_id%3D5";
    EXPECT_EQ(headerValue(header, "oauth_signature"), expectedSignature(base, "cs&ts"));
    EXPECT_EQ(header.find("since_id"), std::string::npos);
    EXPECT_EQ(header.find("q="), std::string::npos);

    // DELETE carries its own method word in the base string.
    ASSERT_TRUE(
        signer.buildAuthorizationHeader(kHttpDelete, "https://api.example/1.1/x/9.json", "", header, false));
    const std::string deleteBase =
        "DELETE&https%3A%2F%2Fapi.example%2F1.1%2Fx%2F9.json&oauth_consumer_key%3Dck"
        "%26oauth_nonce%3D" +
        signer.nonce() +
        "%26oauth_signature_method%3DHMAC-SHA1%26oauth_timestamp%3D1700000000"
        "%26oauth_token%3Dtok%26oauth_version%3D1.0";
    EXPECT_EQ(headerValue(header, "oauth_signature"), expectedSignature(deleteBase, "cs&ts"));
}

TEST_F(OAuthSignerTest, WithoutAccessTokenTheKeyEndsInAmpersand) {
    signer.setAccessToken("");
    signer.setAccessTokenSecret("");
    std::string header;
    ASSERT_TRUE(
        signer.buildAuthorizationHeader(kHttpGet, "https://api.example/1.1/a.json", "", header, false));
    EXPECT_EQ(header.find("oauth_token"), std::string::npos);
    const std::string base =
        "GET&https%3A%2F%2Fapi.example%2F1.1%2Fa.json&oauth_consumer_key%3Dck%26oauth_nonce%3D" +
        signer.nonce() +
        "%26oauth_signature_method%3DHMAC-SHA1%26oauth_timestamp%3D1700000000"
        "%26oauth_version%3D1.0";
    EXPECT_EQ(headerValue(header, "oauth_signature"), expectedSignature(base, "cs&"));
}

TEST_F(OAuthSignerTest, VerifierOnlyWhenAskedForAndUnknownMethodUnsigned) {
    signer.setVerifierPin("4711");
    std::string header;
    signer.buildAuthorizationHeader(kHttpGet, "https://api.example/oauth/access_token", "", header, false);
    EXPECT_EQ(header.find("oauth_verifier"), std::string::npos);
    signer.buildAuthorizationHeader(kHttpGet, "https://api.example/oauth/access_token", "", header, true);
    EXPECT_EQ(headerValue(header, "oauth_verifier"), "4711");
    EXPECT_LT(header.find("oauth_token="), header.find("oauth_verifier="));
    EXPECT_LT(header.find("oauth_verifier="), header.find("oauth_version="));

    EXPECT_TRUE(signer.buildAuthorizationHeader(static_cast<HttpMethod>(7), "https://api.example/a.json", "",
                                                header, false));
    EXPECT_EQ(header.find("oauth_signature="), std::string::npos);
    EXPECT_NE(header.find("oauth_signature_method=\"HMAC-SHA1\""), std::string::npos);
}

TEST_F(OAuthSignerTest, NoncesDifferWithinOneSecond) {
    std::string header;
    signer.buildAuthorizationHeader(kHttpGet, "https://api.example/a.json", "", header, false);
    std::string first = signer.nonce();
    signer.buildAuthorizationHeader(kHttpGet, "https://api.example/a.json", "", header, false);
    EXPECT_EQ(signer.timestamp(), "1700000000");
    EXPECT_NE(signer.nonce(), first);
}

TEST(OAuthParametersTest, ParseJoinAndOrder) {
    OAuthParams params;
    OAuthSigner::parseParameterString("", true, params);
    EXPECT_TRUE(params.empty());
    OAuthSigner::parseParameterString("b=2&novalue&c=&d=x=y&b=3&", false, params);
    ASSERT_EQ(params.size(), 3u);
    EXPECT_EQ(params["b"], "3");  // a repeated key replaces the value
    EXPECT_EQ(params["c"], "");
    EXPECT_EQ(params["d"], "x=y");
    OAuthSigner::parseParameterString("k y=a b", true, params);
    EXPECT_EQ(params["k y"], "a%20b");  // values encoded, keys as given

    std::string joined;
    EXPECT_TRUE(OAuthSigner::joinParameters(params, joined, "&"));
    EXPECT_EQ(joined, "b=3&c=&d=x=y&k y=a%20b");
    EXPECT_TRUE(OAuthSigner::joinParameters(params, joined, ","));
    EXPECT_EQ(joined, "b=\"3\",c=\"\",d=\"x=y\",k y=\"a%20b\"");
    EXPECT_FALSE(OAuthSigner::joinParameters(OAuthParams(), joined, "&"));
    EXPECT_EQ(joined, "");

    // The OAuth names sort in key order although whole items are compared.
    OAuthSigner signer;
    signer.setAccessToken("t");
    signer.setVerifierPin("p");
    OAuthParams oauthParams;
    EXPECT_TRUE(signer.addOAuthParameters(true, "sig", oauthParams, true));
    OAuthSigner::joinParameters(oauthParams, joined, ",");
    EXPECT_TRUE(std::regex_match(
        joined,
        std::regex("oauth_consumer_key=\"\",oauth_nonce=\"[0-9]+[0-9a-f]{1,3}\",oauth_signature=\"sig\","
                   "oauth_signature_method=\"HMAC-SHA1\",oauth_timestamp=\"[0-9]+\",oauth_token=\"t\","
                   "oauth_verifier=\"p\",oauth_version=\"1.0\"")))
        << joined;
}

TEST(OAuthTokenReplyTest, TakesValuesFollowedByAmpersandAndTheScreenNameToTheEnd) {
    OAuthSigner signer;
    signer.setAccessToken("old");
    EXPECT_FALSE(signer.parseTokenReply(""));
    std::string value;
    signer.getAccessToken(value);
    EXPECT_EQ(value, "old");

    EXPECT_TRUE(signer.parseTokenReply("oauth_token=A&oauth_token_secret=B&user_id=1&screen_name=C"));
    signer.getAccessToken(value);
    EXPECT_EQ(value, "A");
    signer.getAccessTokenSecret(value);
    EXPECT_EQ(value, "B");
    signer.getScreenName(value);
    EXPECT_EQ(value, "C");

    OAuthSigner second;
    EXPECT_TRUE(second.parseTokenReply("oauth_token=A2&oauth_token_secret=B2"));
    second.getAccessToken(value);
    EXPECT_EQ(value, "A2");
    second.getAccessTokenSecret(value);
    EXPECT_EQ(value, "");  // last in the reply, no "&" after it

    OAuthSigner third;  // names at the very end never read past the reply
    EXPECT_TRUE(third.parseTokenReply("x&screen_name"));
    EXPECT_TRUE(third.parseTokenReply("oauth_token"));
    third.getAccessToken(value);
    EXPECT_EQ(value, "");
}

// OAuth 1.0a request signing (RFC 5849, HMAC-SHA1). The service checks the
// signature over method, URL and every query and body parameter, so the
// header is built from the very request that is sent; also reads the token
// replies of the authorization endpoints.
#pragma once

#include <map>
#include <string>

enum HttpMethod { kHttpGet = 1, kHttpPost = 2, kHttpDelete = 3 };

// Parameter set of one header build, ordered byte-wise by key; assigning an
// existing key replaces its value.
using OAuthParams = std::map<std::string, std::string>;

namespace oauth {
extern const char* const kConsumerKey;      // "oauth_consumer_key"
extern const char* const kNonce;            // "oauth_nonce"
extern const char* const kSignature;        // "oauth_signature"
extern const char* const kSignatureMethod;  // "oauth_signature_method"
extern const char* const kTimestamp;        // "oauth_timestamp"
extern const char* const kToken;            // "oauth_token"
extern const char* const kTokenSecret;      // "oauth_token_secret"
extern const char* const kVerifier;         // "oauth_verifier"
extern const char* const kVersion;          // "oauth_version"
extern const char* const kCallback;         // "oauth_callback" (never sent)
extern const char* const kScreenName;       // "screen_name"
extern const char* const kHmacSha1;         // "HMAC-SHA1"
extern const char* const kVersionValue;     // "1.0"
extern const char* const kHeaderPrefix;     // "Authorization: OAuth "
}  // namespace oauth

class OAuthSigner {
  public:
    // The main entry: the header line for a request. `url` is the full URL,
    // query included; `body` is the body exactly as sent (already encoded).
    bool buildAuthorizationHeader(HttpMethod method, const std::string& url, const std::string& body,
                                  std::string& header, bool includeVerifier);
    // Reads "oauth_token", "oauth_token_secret" and "screen_name" from a
    // form-encoded token reply.
    bool parseTokenReply(const std::string& reply);

    // The steps of the header build.
    void generateNonceAndTimestamp();
    static void parseParameterString(const std::string& text, bool encodeValues, OAuthParams& params);
    bool addOAuthParameters(bool includeVerifier, const std::string& signature, OAuthParams& params,
                            bool makeNewNonce);
    static bool joinParameters(const OAuthParams& params, std::string& out, const std::string& separator);
    bool computeSignature(int method, const std::string& baseUrl, const OAuthParams& params,
                          std::string& signature) const;

    void getConsumerKey(std::string& out) const { out = consumerKey_; }
    void setConsumerKey(const std::string& value) { consumerKey_ = value; }
    void getConsumerSecret(std::string& out) const { out = consumerSecret_; }
    void setConsumerSecret(const std::string& value) { consumerSecret_ = value; }
    void getAccessToken(std::string& out) const { out = accessToken_; }
    void setAccessToken(const std::string& value) { accessToken_ = value; }
    void getAccessTokenSecret(std::string& out) const { out = accessTokenSecret_; }
    void setAccessTokenSecret(const std::string& value) { accessTokenSecret_ = value; }
    void getVerifierPin(std::string& out) const { out = verifierPin_; }
    void setVerifierPin(const std::string& value) { verifierPin_ = value; }
    void getScreenName(std::string& out) const { out = screenName_; }
    void setScreenName(const std::string& value) { screenName_ = value; }
    // Nonce and timestamp of the latest header build.
    const std::string& nonce() const { return nonce_; }
    const std::string& timestamp() const { return timestamp_; }

  private:
    std::string consumerKey_;
    std::string consumerSecret_;
    std::string accessToken_;
    std::string accessTokenSecret_;
    std::string verifierPin_;
    std::string nonce_;
    std::string timestamp_;
    std::string screenName_;
};

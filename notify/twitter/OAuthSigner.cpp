// OAuth 1.0a header build: parameter set, signature base string, HMAC-SHA1
// signature, header line.
#include "notify/twitter/OAuthSigner.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <random>
#include <vector>

#include "base/Clock.h"
#include "base/Encoding.h"
#include "notify/twitter/Sha1.h"

namespace oauth {
const char* const kConsumerKey = "oauth_consumer_key";
const char* const kNonce = "oauth_nonce";
const char* const kSignature = "oauth_signature";
const char* const kSignatureMethod = "oauth_signature_method";
const char* const kTimestamp = "oauth_timestamp";
const char* const kToken = "oauth_token";
const char* const kTokenSecret = "oauth_token_secret";
const char* const kVerifier = "oauth_verifier";
const char* const kVersion = "oauth_version";
const char* const kCallback = "oauth_callback";
const char* const kScreenName = "screen_name";
const char* const kHmacSha1 = "HMAC-SHA1";
const char* const kVersionValue = "1.0";
const char* const kHeaderPrefix = "Authorization: OAuth ";
}  // namespace oauth

namespace {

// The random part of the nonce: a number below 1000. A counter that starts at
// a random value gives distinct nonces for up to 1000 headers within one
// second, where reseeding from the clock would repeat them (the service
// refuses a repeated nonce).
unsigned nextNonceNumber() {
    static std::atomic<unsigned> counter{std::random_device{}() % 1000u};
    return counter.fetch_add(1, std::memory_order_relaxed) % 1000u;
}

}  // namespace

void OAuthSigner::generateNonceAndTimestamp() {
    char counter[16];
    char seconds[32];
    snprintf(counter, sizeof counter, "%x", nextNonceNumber());
    snprintf(seconds, sizeof seconds, "%" PRId64, currentTime());
    timestamp_ = seconds;
    nonce_ = std::string(seconds) + counter;
}

void OAuthSigner::parseParameterString(const std::string& text, bool encodeValues, OAuthParams& params) {
    size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        size_t end = text.find('&', start);
        if (end == std::string::npos) end = text.size();
        std::string pair = text.substr(start, end - start);
        size_t eq = pair.find('=');
        if (eq != std::string::npos) {
            std::string key = pair.substr(0, eq);
            std::string value = pair.substr(eq + 1);
            params[key] = encodeValues ? urlEncode(value) : value;
        }
        start = end + 1;
    }
}

bool OAuthSigner::addOAuthParameters(bool includeVerifier, const std::string& signature, OAuthParams& params,
                                     bool makeNewNonce) {
    if (makeNewNonce) generateNonceAndTimestamp();
    params[oauth::kConsumerKey] = consumerKey_;
    params[oauth::kNonce] = nonce_;
    if (!signature.empty()) params[oauth::kSignature] = signature;
    params[oauth::kSignatureMethod] = oauth::kHmacSha1;
    params[oauth::kTimestamp] = timestamp_;
    if (!accessToken_.empty()) params[oauth::kToken] = accessToken_;
    if (includeVerifier && !verifierPin_.empty()) params[oauth::kVerifier] = verifierPin_;
    params[oauth::kVersion] = oauth::kVersionValue;
    return !params.empty();
}

bool OAuthSigner::joinParameters(const OAuthParams& params, std::string& out, const std::string& separator) {
    out.clear();
    if (params.empty()) return false;
    bool quoted = separator == ",";
    std::vector<std::string> items;
    items.reserve(params.size());
    for (const auto& entry : params) {
        items.push_back(quoted ? entry.first + "=\"" + entry.second + "\""
                               : entry.first + "=" + entry.second);
    }
    // The items are ordered as whole texts, byte by byte.
    std::stable_sort(items.begin(), items.end());
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += separator;
        out += items[i];
    }
    return true;
}

bool OAuthSigner::computeSignature(int method, const std::string& baseUrl, const OAuthParams& params,
                                   std::string& signature) const {
    signature.clear();
    std::string rawParams;
    joinParameters(params, rawParams, "&");
    const char* prefix = nullptr;
    switch (method) {
        case kHttpGet:
            prefix = "GET&";
            break;
        case kHttpPost:
            prefix = "POST&";
            break;
        case kHttpDelete:
            prefix = "DELETE&";
            break;
        default:
            return false;
    }
    // Values that were encoded on the way into the set are encoded once more
    // here, as RFC 5849 3.4.1 asks for the whole parameter string.
    std::string signatureBase = std::string(prefix) + urlEncode(baseUrl) + "&" + urlEncode(rawParams);
    std::string signingKey = consumerSecret_ + "&" + accessTokenSecret_;

    uint8_t digest[Sha1::kDigestSize];
    HmacSha1 hmac;
    hmac.compute(reinterpret_cast<const uint8_t*>(signatureBase.data()), signatureBase.size(),
                 reinterpret_cast<const uint8_t*>(signingKey.data()), signingKey.size(), digest);
    signature = urlEncode(base64Encode(digest, sizeof digest));
    return !signature.empty();
}

bool OAuthSigner::buildAuthorizationHeader(HttpMethod method, const std::string& url, const std::string& body,
                                           std::string& header, bool includeVerifier) {
    OAuthParams params;
    header.clear();

    std::string pureUrl = url;
    size_t question = url.find('?');
    if (question != std::string::npos) {
        pureUrl = url.substr(0, question);
        parseParameterString(url.substr(question + 1), true, params);
    }
    parseParameterString(body, false, params);

    addOAuthParameters(includeVerifier, "", params, true);
    std::string oauthSignature;
    computeSignature(method, pureUrl, params, oauthSignature);

    // The header carries the oauth_ items only; query and body items were
    // signed but travel in the URL and the body.
    params.clear();
    addOAuthParameters(includeVerifier, oauthSignature, params, false);
    std::string rawParams;
    joinParameters(params, rawParams, ",");
    header = std::string(oauth::kHeaderPrefix) + rawParams;
    return !header.empty();
}

bool OAuthSigner::parseTokenReply(const std::string& reply) {
    if (reply.empty()) return false;
    // A value is taken only when an "&" follows it; "screen_name" takes the
    // rest of the reply.
    auto valueAfter = [&reply](const std::string& name, std::string& field) {
        size_t at = reply.find(name);
        if (at == std::string::npos) return;
        size_t start = at + name.size() + 1;
        if (start > reply.size()) return;
        size_t amp = reply.find('&', start);
        if (amp != std::string::npos) field = reply.substr(start, amp - start);
    };
    valueAfter(oauth::kToken, accessToken_);
    valueAfter(oauth::kTokenSecret, accessTokenSecret_);
    size_t at = reply.find(oauth::kScreenName);
    if (at != std::string::npos) {
        size_t start = at + std::string(oauth::kScreenName).size() + 1;
        screenName_ = start <= reply.size() ? reply.substr(start) : std::string();
    }
    return true;
}

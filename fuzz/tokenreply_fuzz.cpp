// Fuzzes the readers of outside text in the OAuth signer: the token reply of
// the authorization endpoints and the parameter strings of URLs and bodies,
// through a whole header build.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "notify/twitter/OAuthSigner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);

    OAuthSigner signer;
    bool parsed = signer.parseTokenReply(reply);
    if (parsed != !reply.empty()) std::abort();
    std::string token, secret, screenName;
    signer.getAccessToken(token);
    signer.getAccessTokenSecret(secret);
    signer.getScreenName(screenName);
    // Whatever is taken comes out of the reply.
    if (!token.empty() && reply.find(token) == std::string::npos) std::abort();
    if (!secret.empty() && reply.find(secret) == std::string::npos) std::abort();
    if (!screenName.empty() && reply.find(screenName) == std::string::npos) std::abort();

    // The same bytes as the query and as the body of a request.
    OAuthParams params;
    OAuthSigner::parseParameterString(reply, true, params);
    OAuthSigner::parseParameterString(reply, false, params);
    std::string header;
    signer.setConsumerSecret("cs");
    if (!signer.buildAuthorizationHeader(kHttpPost, "https://api.example/1.1/x.json?" + reply, reply, header,
                                         true))
        std::abort();
    if (header.rfind("Authorization: OAuth ", 0) != 0) std::abort();
    if (header.find("oauth_signature=\"") == std::string::npos) std::abort();
    return 0;
}

// The mail channel's TLS policy (see MailTls.h).
#include "notify/MailTls.h"

#include <cstring>

#include "core/Text.h"

namespace {

constexpr char kCaFilePrefix[] = "cafile:";
constexpr size_t kCaFilePrefixLength = sizeof kCaFilePrefix - 1;

}  // namespace

bool parseMailTls(const char* text, MailTlsPolicy* policy) {
    MailTlsPolicy parsed;
    if (text && *text) {
        if (equalsIgnoreCase(text, "trusted-relay")) {
            parsed.trustedRelay = true;
        } else {
            std::string prefix(text, strnlen(text, kCaFilePrefixLength));
            if (!equalsIgnoreCase(prefix.c_str(), kCaFilePrefix) || !text[kCaFilePrefixLength]) return false;
            parsed.caFile = text + kCaFilePrefixLength;
        }
    }
    if (policy) *policy = parsed;
    return true;
}

void setMailTlsOptions(CURL* curl, const MailTlsPolicy& policy, bool login) {
    // A login over a connection that stayed in plain text would give the
    // password to anyone on the way; a server that offers no STARTTLS (or a
    // man in the middle who strips it) then fails the transfer instead.
    bool required = login && !policy.trustedRelay;
    // Without a login the mail goes even in plain text, so checking a
    // certificate of a server that offers TLS would only refuse relays with
    // a certificate of their own; a CA file given asks for it all the same.
    bool verified = required || (!policy.trustedRelay && !policy.caFile.empty());
    curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(required ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verified ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verified ? 2L : 0L);
    if (verified && !policy.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, policy.caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_DEFAULT));
    curl_easy_setopt(curl, CURLOPT_SSL_SESSIONID_CACHE, 0L);
}

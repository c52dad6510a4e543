// Twitter REST client: transport, request preparation and the requests that
// the notification channel makes.
#include "twitter/TwitterClient.h"

#include <curl/curl.h>

#include <cstring>

#include "core/Encoding.h"

namespace {

constexpr size_t kErrorTextSize = 1024;
// The largest reply body kept. The service's replies are far smaller; a body
// beyond this (a broken or hostile peer, a decompression bomb) is refused, so
// the request fails instead of growing the process without end.
constexpr size_t kMaxResponseBytes = size_t(8) << 20;

const char* const kApiHost = "api.twitter.com";
const char* const kApiVersion = "/1.1/";
const char* const kSchemes[] = {"https://", "http://"};
const char* const kFormats[] = {".json", ".xml"};

// Replaced by tests only (see setApiBaseForTesting / setCaFileForTesting).
std::string& apiHostOverride() {
    static std::string host;
    return host;
}
std::string& caFileOverride() {
    static std::string file;
    return file;
}

// libcurl's defaults set no time limit; a stalled service would then hold
// the dispatch of every later notification for ever.
constexpr long kConnectTimeoutSeconds = 30;
constexpr long kRequestTimeoutSeconds = 120;
long& requestTimeoutOverride() {
    static long seconds = 0;
    return seconds;
}

}  // namespace

TwitterClient::TwitterClient() {
    errorText_ = new char[kErrorTextSize];
    memset(errorText_, 0, kErrorTextSize);
    responseBody_.clear();
    CURL* curl = curl_easy_init();
    handle_ = curl;
    if (curl == nullptr) return;
    // The service is reached only with its certificate verified against the
    // system's CA store (libcurl's defaults, stated here so no one drops them).
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
}

TwitterClient::~TwitterClient() {
    if (handle_) curl_easy_cleanup(static_cast<CURL*>(handle_));
    curl_slist_free_all(static_cast<curl_slist*>(requestHeaders_));
    delete[] errorText_;
}

TwitterClient::TwitterClient(const TwitterClient& other) : TwitterClient() {
    setProxyAddress(other.proxyAddress_);
    setProxyPort(other.proxyPort_);
    setProxyUser(other.proxyUser_);
    setProxyPassword(other.proxyPassword_);
    setAccountUser(other.accountUser_);
    setAccountPassword(other.accountPassword_);
    signer_ = other.signer_;
}

void TwitterClient::setApiBaseForTesting(const std::string& hostAndPort) {
    apiHostOverride() = hostAndPort;
}
void TwitterClient::setCaFileForTesting(const std::string& caFile) {
    caFileOverride() = caFile;
}
void TwitterClient::setRequestTimeoutForTesting(long seconds) {
    requestTimeoutOverride() = seconds;
}

void TwitterClient::lastTransportError(std::string& out) const {
    errorText_[kErrorTextSize - 1] = 0;
    out = errorText_;
}

void TwitterClient::lastResponseBody(std::string& out) const {
    out.clear();
    if (!responseBody_.empty()) out = responseBody_;
}

void TwitterClient::setProxyAddress(const std::string& value) {
    if (value.empty()) return;
    proxyAddress_ = value;
    proxyOptionsApplied_ = false;
}
void TwitterClient::setProxyPort(const std::string& value) {
    if (value.empty()) return;
    proxyPort_ = value;
    proxyOptionsApplied_ = false;
}
void TwitterClient::setProxyUser(const std::string& value) {
    if (value.empty()) return;
    proxyUser_ = value;
    proxyOptionsApplied_ = false;
}
void TwitterClient::setProxyPassword(const std::string& value) {
    if (value.empty()) return;
    proxyPassword_ = value;
    proxyOptionsApplied_ = false;
}
void TwitterClient::setAccountUser(const std::string& value) {
    if (value.empty()) return;
    accountUser_ = value;
    accountOptionsApplied_ = false;
}
void TwitterClient::setAccountPassword(const std::string& value) {
    if (value.empty()) return;
    accountPassword_ = value;
    accountOptionsApplied_ = false;
}

size_t TwitterClient::writeResponseCallback(char* data, size_t size, size_t count, void* user) {
    TwitterClient* client = static_cast<TwitterClient*>(user);
    if (client == nullptr || data == nullptr || size == 0 || count == 0) return 0;
    if (count > kMaxResponseBytes / size) return 0;
    size_t total = size * count;
    if (total > kMaxResponseBytes - client->responseBody_.size()) return 0;  // libcurl ends the transfer
    client->responseBody_.append(data, total);
    return total;
}

void TwitterClient::applyProxyOptions() {
    if (proxyOptionsApplied_) return;
    CURL* curl = static_cast<CURL*>(handle_);
    curl_easy_setopt(curl, CURLOPT_PROXY, nullptr);
    curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, nullptr);
    curl_easy_setopt(curl, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
    // Set even when empty: libcurl would otherwise take a proxy from the
    // environment, which an unattended service must not pick up by accident.
    std::string proxy = proxyAddress_.empty() ? std::string() : proxyAddress_ + ":" + proxyPort_;
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
    if (!proxyUser_.empty() && !proxyPassword_.empty()) {
        std::string credentials = proxyUser_ + ":" + proxyPassword_;
        curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, credentials.c_str());
    }
    proxyOptionsApplied_ = true;
}

void TwitterClient::applyCallbackOptions() {
    if (callbackOptionsApplied_) return;
    CURL* curl = static_cast<CURL*>(handle_);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText_);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &TwitterClient::writeResponseCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    callbackOptionsApplied_ = true;
}

void TwitterClient::applyAccountOptions() {
    if (accountOptionsApplied_) return;
    CURL* curl = static_cast<CURL*>(handle_);
    curl_easy_setopt(curl, CURLOPT_USERPWD, "");
    if (!accountUser_.empty()) {
        std::string credentials = accountUser_ + ":" + accountPassword_;
        curl_easy_setopt(curl, CURLOPT_USERPWD, credentials.c_str());
    }
    accountOptionsApplied_ = true;
}

void TwitterClient::prepareRequest() {
    CURL* curl = static_cast<CURL*>(handle_);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, nullptr);  // a DELETE of an earlier request
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    responseBody_.clear();
    memset(errorText_, 0, kErrorTextSize);
    if (!caFileOverride().empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFileOverride().c_str());
    if (requestTimeoutOverride() > 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT, requestTimeoutOverride());
    applyProxyOptions();
    applyCallbackOptions();
    applyAccountOptions();
}

bool TwitterClient::perform(HttpMethod method, const std::string& url, const std::string& body,
                            const std::string& header) {
    CURL* curl = static_cast<CURL*>(handle_);
    requestEnded();
    if (!header.empty()) {
        curl_slist* headers = curl_slist_append(nullptr, header.c_str());
        requestHeaders_ = headers;
        if (headers) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    }
    switch (method) {
        case kHttpGet:
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
            curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
            break;
        case kHttpPost:
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
            // Also set for an empty body, so the body of an earlier POST is
            // never sent again.
            curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, body.c_str());
            break;
        case kHttpDelete:
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "DELETE");
            curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
            curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, "");
            break;
    }
    if (prepareOnly_) return true;
    CURLcode result = curl_easy_perform(curl);
    requestEnded();
    return result == CURLE_OK;
}

void TwitterClient::requestEnded() {
    if (!requestHeaders_) return;
    // The list dies here; the handle must not keep pointing at it.
    curl_easy_setopt(static_cast<CURL*>(handle_), CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(static_cast<curl_slist*>(requestHeaders_));
    requestHeaders_ = nullptr;
}

bool TwitterClient::preparePostStatus(const std::string& status, const std::string& replyToId) {
    prepareOnly_ = true;
    bool prepared = postStatus(status, replyToId);
    prepareOnly_ = false;
    return prepared;
}

bool TwitterClient::prepareVerifyCredentials() {
    prepareOnly_ = true;
    bool prepared = verifyCredentials();
    prepareOnly_ = false;
    return prepared;
}

bool TwitterClient::sendGet(const std::string& url) {
    if (!handle_) return false;
    prepareRequest();
    std::string authorization;
    signer_.buildAuthorizationHeader(kHttpGet, url, "", authorization, false);
    return perform(kHttpGet, url, "", authorization);
}

bool TwitterClient::sendGet(const std::string& url, const std::string& header) {
    if (!handle_) return false;
    prepareRequest();
    return perform(kHttpGet, url, "", header);
}

bool TwitterClient::sendPost(const std::string& url, const std::string& body) {
    if (!handle_) return false;
    prepareRequest();
    std::string authorization;
    signer_.buildAuthorizationHeader(kHttpPost, url, body, authorization, false);
    return perform(kHttpPost, url, body, authorization);
}

bool TwitterClient::sendDelete(const std::string& url) {
    if (!handle_) return false;
    prepareRequest();
    std::string authorization;
    signer_.buildAuthorizationHeader(kHttpDelete, url, "", authorization, false);
    return perform(kHttpDelete, url, "", authorization);
}

std::string TwitterClient::buildUrl(const char* path, const std::string& id) const {
    const std::string& host = apiHostOverride().empty() ? std::string(kApiHost) : apiHostOverride();
    return std::string(kSchemes[protocolIndex_]) + host + kApiVersion + path + id +
           kFormats[replyFormatIndex_];
}

std::string TwitterClient::oauthUrl(const char* path) const {
    const std::string& host = apiHostOverride().empty() ? std::string(kApiHost) : apiHostOverride();
    return std::string(kSchemes[protocolIndex_]) + host + path;
}

std::string TwitterClient::urlForUser(const std::string& url, const std::string& user, bool isUserId) {
    if (user.empty()) return url;
    return url + "?" + (isUserId ? "user_id=" : "screen_name=") + user;
}

bool TwitterClient::postStatus(const std::string& status, const std::string& replyToId) {
    if (status.empty()) return false;
    std::string body = "status=" + urlEncode(status);
    if (!replyToId.empty()) body += "&in_reply_to_status_id=" + urlEncode(replyToId);
    return sendPost(buildUrl("statuses/update"), body);
}

bool TwitterClient::verifyCredentials() {
    return sendGet(buildUrl("account/verify_credentials"));
}

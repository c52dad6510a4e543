// The bounded POST of the webhook and ntfy channels. The request is complete
// and its handle prepared before it goes to the sender; it belongs to the
// sender from then on, so a reload of the configuration cannot pull anything
// from under a running transfer.
#include "notify/HttpPost.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

#include "base/Log.h"
#include "notify/Sender.h"

namespace {

constexpr long kConnectTimeoutMs = 30000;
constexpr long kTotalTimeoutMs = 120000;
std::atomic<long> gConnectTimeoutMs{kConnectTimeoutMs};
std::atomic<long> gTotalTimeoutMs{kTotalTimeoutMs};
std::mutex gCaFileMutex;
std::string gCaFile;  // empty: the system's store

std::string caFile() {
    std::lock_guard<std::mutex> lock(gCaFileMutex);
    return gCaFile;
}

// A reply beyond this is not kept; a reason a server gives is far shorter.
constexpr size_t kKeptReplyBytes = 16384;

// The reply is not needed: only its status counts. Taking it here keeps it
// off standard output and bounds nothing in memory.
size_t discardReply(char*, size_t size, size_t count, void*) {
    return size * count;
}

// The reply as far as it is kept. A refusal's reason is read from its start;
// a reply that is read whole ends the transfer where it passes its bound.
struct KeptReply {
    std::string text;
    size_t limit = kKeptReplyBytes;
    bool endWhenFull = false;
    bool cut = false;
};

size_t keepReply(char* data, size_t size, size_t count, void* kept) {
    auto* reply = static_cast<KeptReply*>(kept);
    size_t bytes = size * count;
    size_t room = reply->limit - std::min(reply->limit, reply->text.size());
    reply->text.append(data, std::min(bytes, room));
    if (bytes <= room || !reply->endWhenFull) return bytes;
    reply->cut = true;
    return 0;
}

std::string shownUrl(const HttpPostRequest& request) {
    return request.shownUrl.empty() ? maskUrl(request.url) : request.shownUrl;
}

class HttpPostTransfer : public Transfer {
  public:
    explicit HttpPostTransfer(HttpPostRequest request) : request_(std::move(request)) {}
    HttpPostTransfer(const HttpPostTransfer&) = delete;
    HttpPostTransfer& operator=(const HttpPostTransfer&) = delete;
    ~HttpPostTransfer() override {
        if (curl_) curl_easy_cleanup(curl_);
        curl_slist_free_all(headers_);
    }

    // Sets every option; false when libcurl has no handle or list for it.
    bool prepare() {
        curl_ = curl_easy_init();
        bool listed = true;
        for (const std::string& header : request_.headers) listed = listed && appendHeader(header);
        // No "Expect: 100-continue" round trip for longer bodies: some hook
        // services never answer it.
        listed = listed && appendHeader("Expect:");
        if (!curl_ || !listed) return false;

        curl_easy_setopt(curl_, CURLOPT_URL, request_.url.c_str());
        if (request_.get) {
            curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(curl_, CURLOPT_POST, 1L);
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, request_.body.data());
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request_.body.size()));
        }
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(curl_, CURLOPT_USERAGENT, "Zentok");
        // Only web addresses: a configured "file:" or "smtp:" URL fails instead.
        curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
        // A redirect is not followed: the hook has moved and the operator must
        // learn it, which the failure line tells.
        curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
        std::string trusted = caFile();
        if (!trusted.empty()) curl_easy_setopt(curl_, CURLOPT_CAINFO, trusted.c_str());
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, gConnectTimeoutMs.load());
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS,
                         request_.totalTimeoutMs > 0 ? request_.totalTimeoutMs : gTotalTimeoutMs.load());
        if (request_.readReply) {
            reply_.limit = request_.keptReplyBytes;
            reply_.endWhenFull = true;
        }
        if (request_.readRefusal || request_.readReply) {
            curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &keepReply);
            curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply_);
        } else {
            curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &discardReply);
        }
        curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorText_);
        return true;
    }

    CURL* start() override { return curl_; }

    bool finish(CURLcode result) override {
        long cutStatus = 0;
        if (result == CURLE_WRITE_ERROR && reply_.cut &&
            curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &cutStatus) == CURLE_OK && cutStatus >= 200 &&
            cutStatus <= 299) {
            request_.readReply(reply_.text, true);
            conclude(true);
            return false;
        }
        if (result != CURLE_OK) {
            fail(errorText_[0] ? errorText_ : curl_easy_strerror(result));
            return false;
        }
        long status = 0;
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299) {
            std::string error = "HTTP status " + std::to_string(status);
            std::string reason = request_.readRefusal
                                     ? request_.readRefusal(status, reply_.text, request_.delivery.get())
                                     : "";
            if (!reason.empty()) error += ": " + reason;
            fail(error.c_str());
            return false;
        }
        if (request_.readReply) request_.readReply(reply_.text, false);
        conclude(true);
        return false;
    }

    void fail(const char* error) {
        if (request_.takeFailure) {
            request_.takeFailure(error);
            conclude(false);
            return;
        }
        logf(Log::Always, "%s::post, err '%s', url '%s'\n", request_.channel, error,
             shownUrl(request_).c_str());
        conclude(false);
    }

  private:
    void conclude(bool delivered) {
        if (request_.onOutcome) request_.onOutcome(delivered);
        settle(request_.delivery, delivered);
    }

    bool appendHeader(const std::string& header) {
        curl_slist* grown = curl_slist_append(headers_, header.c_str());
        if (grown) headers_ = grown;
        return grown != nullptr;
    }

    HttpPostRequest request_;
    CURL* curl_ = nullptr;
    curl_slist* headers_ = nullptr;
    char errorText_[CURL_ERROR_SIZE] = {};
    KeptReply reply_;
};

}  // namespace

bool startHttpPost(HttpPostRequest request) {
    std::string lane = request.lane.empty() ? laneOf(request.delivery) : request.lane;
    DeliveryHandle delivery = request.delivery;
    const char* channel = request.channel;
    std::string shown = shownUrl(request);
    std::function<void(bool)> onOutcome = request.onOutcome;
    auto transfer = std::make_unique<HttpPostTransfer>(std::move(request));
    if (!transfer->prepare()) {
        transfer->fail("no curl handle");
        return false;
    }
    if (sender().submit(lane, std::move(transfer))) return true;
    logf(Log::Always, "%s::post, err 'no sender', url '%s'\n", channel, shown.c_str());
    if (onOutcome) onOutcome(false);
    settle(delivery, false);
    return false;
}

std::string maskUrl(const std::string& url) {
    size_t scheme = url.find("://");
    size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
    size_t pathStart = url.find_first_of("/?#", authority);
    if (pathStart == std::string::npos) pathStart = url.size();
    size_t tailStart = url.find_first_of("?#", pathStart);
    if (tailStart == std::string::npos) tailStart = url.size();

    std::string masked = url.substr(0, authority);
    std::string host = url.substr(authority, pathStart - authority);
    size_t at = host.rfind('@');
    masked += at == std::string::npos ? host : "***" + host.substr(at);

    std::string path = url.substr(pathStart, tailStart - pathStart);
    size_t second = path.find('/', 1);
    if (second != std::string::npos && second + 1 < path.size())
        path.replace(second, std::string::npos, "/***");
    masked += path;

    if (tailStart < url.size()) masked += url.substr(tailStart, 1) + "***";
    return masked;
}

void setHttpPostTimeoutsForTesting(long connectMs, long totalMs) {
    gConnectTimeoutMs = connectMs > 0 ? connectMs : kConnectTimeoutMs;
    gTotalTimeoutMs = totalMs > 0 ? totalMs : kTotalTimeoutMs;
}

void setHttpPostCaFileForTesting(const std::string& caFile) {
    std::lock_guard<std::mutex> lock(gCaFileMutex);
    gCaFile = caFile;
}

// The server-manager channel: the request is built on the dispatch thread and
// performed by the sender, which owns the transfer, so the dispatch never
// waits on the network and the coupler's records are never touched there.
#include "notify/channels/SrvMgrChannel.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "base/Log.h"
#include "base/Records.h"
#include "base/Settings.h"
#include "notify/NoticeFields.h"
#include "notify/Sender.h"
#include "notify/UrlScheme.h"

namespace {

constexpr long kConnectTimeoutMs = 30000;
constexpr long kTotalTimeoutMs = 120000;
std::atomic<long> gConnectTimeoutMs{kConnectTimeoutMs};
std::atomic<long> gTotalTimeoutMs{kTotalTimeoutMs};

// Appends the percent-encoding of `value` (letters, digits and "-._~" stay,
// a blank becomes %20).
bool appendEscaped(CURL* handle, std::string* out, const char* value) {
    const char* text = value ? value : "";
    size_t length = std::strlen(text);
    if (length == 0) return true;  // an empty value is an empty field
    char* escaped = curl_easy_escape(handle, text, static_cast<int>(length));
    if (!escaped) return false;
    out->append(escaped);
    curl_free(escaped);
    return true;
}

// The start of the reply, kept for the console, and its whole size. A
// server manager may answer with a whole page, which must not flood the
// console (and with it the journal).
struct ReplyHead {
    std::string head;
    size_t totalBytes = 0;
};

size_t keepReplyHead(char* data, size_t size, size_t count, void* target) {
    auto* reply = static_cast<ReplyHead*>(target);
    size_t bytes = size * count;
    // One byte beyond what is shown tells shownReply that more came.
    if (reply->head.size() <= kReplyShownBytes)
        reply->head.append(data, std::min(bytes, kReplyShownBytes + 1 - reply->head.size()));
    reply->totalBytes += bytes;
    return bytes;
}

struct EasyHandle {
    CURL* handle = curl_easy_init();
    ~EasyHandle() {
        if (handle) curl_easy_cleanup(handle);
    }
};

// One post. It owns its handle and texts once handed to the sender.
class PostTransfer : public Transfer {
  public:
    // Sets every option on the dispatch thread.
    PostTransfer(std::string url, std::string body, DeliveryHandle delivery)
        : url_(std::move(url)), body_(std::move(body)), delivery_(std::move(delivery)) {
        if (!easy_.handle) return;
        CURL* curl = easy_.handle;
        curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body_.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body_.size()));
        // Bounded waits, so a silent server cannot hold a place of the sender
        // for ever; no signals, as several transfers run at once.
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, gConnectTimeoutMs.load());
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, gTotalTimeoutMs.load());
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText_);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &keepReplyHead);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply_);
        logf(Log::Trace, "curl:\n\turl  '%s'\n\tpost: '%s'\n", url_.c_str(), body_.c_str());
    }
    PostTransfer(const PostTransfer&) = delete;
    PostTransfer& operator=(const PostTransfer&) = delete;

    CURL* start() override { return easy_.handle; }

    bool finish(CURLcode result) override {
        // The reply is shown, not examined.
        std::string shown = shownReply(reply_.head, reply_.totalBytes);
        if (!shown.empty()) logf(Log::Always, "%s", shown.c_str());
        if (result != CURLE_OK) {
            const char* error = result == CURLE_FAILED_INIT && !easy_.handle ? "no curl handle"
                                : errorText_[0]                              ? errorText_
                                                                             : curl_easy_strerror(result);
            logf(Log::Always, "notifySrvMgr::post, err '%s', url '%s'\n", error, url_.c_str());
            settle(delivery_, false);
            return false;
        }
        // Only a 2xx answer means the server manager took the post: a redirect
        // (say to https) is not followed, so the post never reached the script.
        long status = 0;
        curl_easy_getinfo(easy_.handle, CURLINFO_RESPONSE_CODE, &status);
        bool accepted = status >= 200 && status <= 299;
        if (!accepted)
            logf(Log::Always, "notifySrvMgr::post, err 'HTTP status %ld', url '%s'\n", status, url_.c_str());
        settle(delivery_, accepted);
        return false;
    }

  private:
    std::string url_;
    std::string body_;
    DeliveryHandle delivery_;
    EasyHandle easy_;
    char errorText_[CURL_ERROR_SIZE] = {};
    ReplyHead reply_;
};

// The form body: cmd, source, pass, adr and, with a text, message, every value
// percent-encoded. False when a value could not be encoded.
bool buildBody(const Notification& notification, std::string* body) {
    if (!body) return false;
    EasyHandle easy;  // used for the encoding only
    if (!easy.handle) return false;
    body->assign(notification.kind == NotificationKind::Info ? "cmd=newinfo&source="
                                                             : "cmd=newmessage&source=");
    bool ok = appendEscaped(easy.handle, body, notification.sourceName.c_str());
    body->append("&pass=");
    ok = ok && appendEscaped(easy.handle, body, notification.sourcePassword.c_str());
    body->append("&adr=");
    ok = ok && appendEscaped(easy.handle, body, notification.address.c_str());
    if (!notification.text.empty()) {
        body->append("&message=");
        ok = ok && appendEscaped(easy.handle, body, notification.text.c_str());
    }
    return ok;
}

}  // namespace

bool SrvMgrChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    std::string body;
    if (buildBody(notification, &body)) {
        // Sized to its content: a host of any length keeps its path.
        auto transfer = std::make_unique<PostTransfer>(std::string(uplinks_->srvmgrHost) + "/pollapi.php",
                                                       std::move(body), delivery);
        if (!sender().submit(laneOf(delivery), std::move(transfer))) {
            logf(Log::Always, "notifySrvMgr::notify, err 'no sender', node %s\n",
                 notification.address.c_str());
            settle(delivery, false);
        }
    } else {
        settle(delivery, false);
    }
    logf(Log::Always, "notifySrvMgr::notify, host %s, source %s, node %s, %s\n",
         uplinks_->srvmgrHost[0] ? uplinks_->srvmgrHost : "no host", notification.sourceName.c_str(),
         notification.address.c_str(), consoleText(notification).c_str());
    return true;
}

std::string SrvMgrChannel::sendFault() const {
    return uplinks_->srvmgrHost[0] ? srvMgrHostFault(*uplinks_) : "";
}

std::string srvMgrHostFault(const Uplinks& uplinks) {
    return schemeFault("srvmgr host", uplinks.srvmgrHost, {"http", "https"});
}

std::string shownReply(const std::string& head, size_t totalBytes) {
    std::string shown;
    size_t lines = 0;
    bool cut = totalBytes > head.size();
    for (size_t i = 0; i < head.size(); ++i) {
        if (shown.size() >= kReplyShownBytes) {
            cut = true;
            break;
        }
        unsigned char c = static_cast<unsigned char>(head[i]);
        if (c == '\n') {
            shown += '\n';
            if (++lines == kReplyShownLines) {
                cut = cut || i + 1 < head.size();
                break;
            }
        } else if (c == '\r' && i + 1 < head.size() && head[i + 1] == '\n') {
            continue;  // the line end comes with the LF
        } else {
            // Escape sequences of a reply must not reach a terminal or the journal.
            shown += c < 0x20 && c != '\t' ? '?' : c == 0x7F ? '?' : static_cast<char>(c);
        }
    }
    if (cut) {
        if (!shown.empty() && shown.back() == '\n') shown.pop_back();
        shown += " [reply cut, " + std::to_string(totalBytes) + " bytes]";
    }
    if (!shown.empty() && shown.back() != '\n') shown += '\n';
    return shown;
}

void setSrvMgrTimeoutsForTesting(long connectMs, long totalMs) {
    gConnectTimeoutMs = connectMs > 0 ? connectMs : kConnectTimeoutMs;
    gTotalTimeoutMs = totalMs > 0 ? totalMs : kTotalTimeoutMs;
}

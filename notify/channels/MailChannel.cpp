// The mail channel: message file, libcurl handle and the hand-over to the sender.
#include "notify/channels/MailChannel.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "base/Clock.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "base/Text.h"
#include "notify/MailMessage.h"
#include "notify/MailTls.h"
#include "notify/NoticeFields.h"
#include "notify/Sender.h"
#include "notify/UrlScheme.h"

namespace {

std::atomic<long> gConnectTimeoutMs{kMailConnectTimeoutMs};
std::atomic<long> gTransferTimeoutMs{kMailTransferTimeoutMs};

// Everything one transfer needs. It belongs to the sender once handed over
// and is freed there, so a receiver destroyed by a reload of the
// configuration cannot pull anything from under a running transfer.
class MailTransfer : public Transfer {
  public:
    MailTransfer() = default;
    MailTransfer(const MailTransfer&) = delete;
    MailTransfer& operator=(const MailTransfer&) = delete;
    ~MailTransfer() override {
        if (curl) curl_easy_cleanup(curl);
        if (recipients) curl_slist_free_all(recipients);
        if (message) std::fclose(message);
    }

    CURL* start() override { return curl; }

    bool finish(CURLcode result) override {
        settle(delivery, result == CURLE_OK);
        // Nothing is retried; the operator at least learns that the mail is lost.
        if (result != CURLE_OK)
            logf(Log::Always, "notifyMail::send, recipient %s, err '%s'\n", recipient,
                 error[0] ? error : curl_easy_strerror(result));
        return false;
    }

    CURL* curl = nullptr;
    curl_slist* recipients = nullptr;
    FILE* message = nullptr;  // a temporary file, removed when closed
    char recipient[kNameSize] = {};
    char error[CURL_ERROR_SIZE] = {};
    DeliveryHandle delivery;  // settled when the transfer ends
};

// A control character (below 0x20, or DEL) in an envelope address.
bool hasControlCharacter(const char* address) {
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(address); c && *c; ++c)
        if (*c < 0x20 || *c == 0x7F) return true;
    return false;
}

// The address for the console, each control character shown as "?".
std::string printable(const char* address) {
    std::string out = address ? address : "";
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

// libcurl puts the envelope addresses into MAIL FROM and RCPT TO as they are,
// so a CR or LF from the configuration would end the command and let the rest
// of the address act as one of its own (a further RCPT TO). Such an address is
// refused, not stripped: stripped, it would still name some other mailbox
// ("ops@example.org\rBcc" becomes "ops@example.orgBcc"), while the failure
// line tells the operator which address to mend.
const char* envelopeFault(const char* from, const char* recipient) {
    if (hasControlCharacter(from)) return "control character in the sender address";
    if (hasControlCharacter(recipient)) return "control character in the recipient address";
    return nullptr;
}

}  // namespace

void setMailTimeoutsForTesting(long connectMs, long transferMs) {
    gConnectTimeoutMs = connectMs > 0 ? connectMs : kMailConnectTimeoutMs;
    gTransferTimeoutMs = transferMs > 0 ? transferMs : kMailTransferTimeoutMs;
}

std::string mailUplinkFault(const Uplinks& uplinks) {
    std::string fault = schemeFault("smtp url", uplinks.smtpUrl, {"smtp", "smtps"});
    if (fault.empty() && !parseMailTls(uplinks.smtpTls, nullptr))
        fault = std::string("smtp tls '") + uplinks.smtpTls + "' is neither cafile:PATH nor trusted-relay";
    return fault;
}

std::string MailChannel::sendFault() const {
    return uplinks_->smtpUrl[0] ? mailUplinkFault(*uplinks_) : "";
}

MailChannel::MailChannel(char* rest, UplinksHandle uplinks) : uplinks_(std::move(uplinks)) {
    // Only ":" separates here; the ";" of the configuration line is already
    // behind us, so a ";" that is still there belongs to the address.
    char* cursor = rest;
    char* field = rest ? nextToken(&cursor, ":") : nullptr;
    copyText(recipient, field);
}

size_t MailChannel::readMessage(char* buffer, size_t size, size_t count, void* file) {
    auto* message = static_cast<FILE*>(file);
    if (!buffer || !message || size == 0 || count == 0 || std::feof(message)) return 0;
    // libcurl always asks for elements of one byte.
    return std::fread(buffer, 1, count, message);
}

bool MailChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    const char* sourceName = notification.sourceName.c_str();
    const char* address = notification.address.c_str();
    const char* text = notification.text.c_str();
    const std::string shown = consoleText(notification);
    const Uplinks& uplinks = *uplinks_;
    if (const char* fault = envelopeFault(uplinks.smtpFrom, recipient)) {
        logf(Log::Always, "notifyMail::notify, source %s, node %s, %s\n", sourceName, address, shown.c_str());
        logf(Log::Always, "notifyMail::send, recipient %s, err '%s'\n", printable(recipient).c_str(), fault);
        return false;
    }

    auto job = std::make_unique<MailTransfer>();
    copyText(job->recipient, recipient);
    job->delivery = delivery;
    job->curl = curl_easy_init();
    if (!job->curl) {
        logf(Log::Always, "notifyMail::notify, source %s, node %s, %s\n", sourceName, address, shown.c_str());
        return false;
    }
    job->message = std::tmpfile();
    if (!job->message) return false;

    int64_t now = currentTime();
    std::string messageId = makeMessageId(uplinks.smtpFrom, now);
    MailContent content;
    content.from = uplinks.smtpFrom;
    content.to = recipient;
    content.sourceName = sourceName;
    content.address = address;
    content.tag = notification.tag.c_str();
    content.text = text;
    content.value = notification.value;
    content.decimals = notification.keepsDecimals;
    content.when = now;
    content.fired = notification.triggerTime;
    content.decided = notification.decidedAt;
    content.messageId = messageId.c_str();
    content.state = noticeState(notification);
    std::string mail = composeMail(content);
    if (std::fwrite(mail.data(), 1, mail.size(), job->message) != mail.size() ||
        std::fflush(job->message) != 0) {
        logf(Log::Always, "notifyMail::notify, err 'cannot write the message file'\n");
        return false;
    }
    std::rewind(job->message);

    job->recipients = curl_slist_append(nullptr, recipient);
    if (!job->recipients) return false;

    CURL* curl = job->curl;
    curl_easy_setopt(curl, CURLOPT_URL, uplinks.smtpUrl);
    if (uplinks.smtpUser[0]) curl_easy_setopt(curl, CURLOPT_USERNAME, uplinks.smtpUser);
    if (uplinks.smtpPassword[0]) curl_easy_setopt(curl, CURLOPT_PASSWORD, uplinks.smtpPassword);
    // Only mail protocols: an address that is not one fails instead of
    // being spoken to as something else.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    // A setting the configuration refused has stopped the load; the strict
    // default stands in for it here.
    MailTlsPolicy tls;
    parseMailTls(uplinks.smtpTls, &tls);
    setMailTlsOptions(curl, tls, uplinks.smtpUser[0] || uplinks.smtpPassword[0]);
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, uplinks.smtpFrom);
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, job->recipients);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &MailChannel::readMessage);
    curl_easy_setopt(curl, CURLOPT_READDATA, job->message);
    // Without upload mode libcurl only verifies the recipient (VRFY).
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    // Time-outs by signal are not safe beside the other threads.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, gConnectTimeoutMs.load());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, gTransferTimeoutMs.load());
    // libcurl waits for the answer to QUIT when it closes the connection, on
    // the sender's thread and outside the transfer's own limit; closing at
    // the end of each transfer, with every answer bounded by the connect
    // limit, keeps that wait short and never leaves it for the end of the run.
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, (gConnectTimeoutMs.load() + 999) / 1000);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, job->error);

    // Printed before the hand-over, so a quick failure line follows it.
    logf(Log::Always, "notifyMail::notify, source %s, node %s, %s\n", sourceName, address, shown.c_str());
    if (!sender().submit(laneOf(delivery), std::move(job))) {
        logf(Log::Always, "notifyMail::send, recipient %s, err 'no sender thread'\n", recipient);
        return false;
    }
    return true;
}

// The SMS channel: a message file per notification in smstools' outgoing
// folder, and a look into sent/ and failed/ for what became of it.
#include "notify/channels/SmsChannel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "base/ErrorText.h"
#include "base/Log.h"
#include "base/Text.h"
#include "notify/NoticeFields.h"
#include "notify/SmsText.h"

namespace {

std::string spoolFolder(const Uplinks& uplinks, const char* sub) {
    std::string folder = uplinks.smsSpool;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder + "/" + sub;
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// A name no other message of this or an earlier run has: time, process, count.
std::string newMessageName() {
    static std::atomic<unsigned> count{0};
    return "zentok-" + std::to_string(static_cast<long long>(std::time(nullptr))) + "-" +
           std::to_string(::getpid()) + "-" + std::to_string(++count);
}

bool writeAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// An alarm that asks for a response tells how to give it by SMS.
std::string replyHint(const Notification& notification) {
    const std::string& state = notification.state;
    if (!notification.replyButtons || notification.label().empty()) return "";
    if (!state.empty() && state != "raised" && state != "reminder" && state != "escalated") return "";
    return "\nReply ACK " + notification.label();
}

}  // namespace

bool placeSpoolFile(const std::string& folder, const std::string& name, const std::string& content,
                    std::string* error) {
    std::string hidden = folder + "/." + name;
    int fd = ::open(hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0660);
    if (fd < 0) {
        *error = errorText(errno);
        return false;
    }
    bool written = writeAll(fd, content) && ::fsync(fd) == 0;
    int writeError = errno;
    ::close(fd);
    if (!written || ::rename(hidden.c_str(), (folder + "/" + name).c_str()) != 0) {
        *error = errorText(written ? errno : writeError);
        ::unlink(hidden.c_str());
        return false;
    }
    return true;
}

std::string smsSpoolFault(const Uplinks& uplinks) {
    if (!uplinks.smsSpool[0]) return "sms needs the line uplink;sms;smstools;SPOOLDIR";
    std::string outgoing = spoolFolder(uplinks, "outgoing");
    struct stat status {};
    if (::stat(outgoing.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return "sms spool '" + std::string(uplinks.smsSpool) + "' has no folder outgoing/";
    if (::access(outgoing.c_str(), W_OK | X_OK) != 0)
        return "sms spool folder '" + outgoing + "' cannot be written by this user";
    return "";
}

SmsChannel::SmsChannel(char* rest, UplinksHandle uplinks) : uplinks_(std::move(uplinks)) {
    char* cursor = rest;
    char* field = rest ? nextToken(&cursor, ";") : nullptr;
    number_ = field ? field : "";
}

std::string SmsChannel::addressFault() const {
    return isPhoneNumber(number_) ? "" : "sms number '" + number_ + "' is no phone number";
}

std::string SmsChannel::sendFault() const {
    std::string fault = addressFault();
    return fault.empty() ? smsSpoolFault(*uplinks_) : fault;
}

bool SmsChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    SmsText text = fitSms(notification.text + replyHint(notification));
    std::string name = newMessageName();
    std::string error;
    if (!placeSpoolFile(spoolFolder(*uplinks_, "outgoing"), name, smsSpoolFile(number_, text), &error)) {
        logf(Log::Always, "notifySms, err '%s', spool '%s'\n", error.c_str(), uplinks_->smsSpool);
        return false;
    }
    logf(Log::Always, "notifySms::notify, to %s, file %s, %s, %d part(s), node %s, %s\n", number_.c_str(),
         name.c_str(), text.ucs2 ? "UCS-2" : "GSM 7-bit", text.parts, notification.address.c_str(),
         consoleText(notification).c_str());
    pending_.push_back({name, notification.address});
    // A bounded memory: smstools settles a message within minutes; one never
    // settled (a spool cleaned by hand) is forgotten after the oldest.
    if (pending_.size() > 1000) pending_.erase(pending_.begin());
    settle(delivery, true);
    return true;
}

std::vector<SmsOutcome> SmsChannel::takeOutcomes() {
    std::vector<SmsOutcome> outcomes;
    std::string sent = spoolFolder(*uplinks_, "sent");
    std::string failed = spoolFolder(*uplinks_, "failed");
    for (auto it = pending_.begin(); it != pending_.end();) {
        bool inSent = exists(sent + "/" + it->file);
        if (!inSent && !exists(failed + "/" + it->file)) {
            ++it;
            continue;
        }
        outcomes.push_back({it->file, number_, it->address, inSent});
        it = pending_.erase(it);
    }
    return outcomes;
}

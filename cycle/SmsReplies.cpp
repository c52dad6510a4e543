// Replies by SMS, on the main thread: smstools leaves each message the modem
// received as a file in the spool's incoming folder. A file is read once,
// strictly; "ACK TAG" from the receiver's own number or one its allow line
// names acknowledges the node as `zentok ack` does. The file's name is
// recorded in the states file by the same write as the acknowledgement and
// the file removed only after it: a crash before the write reads it again, a
// crash after finds its name recorded and only removes it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Log.h"
#include "cycle/AlarmJournal.h"
#include "cycle/Coupler.h"
#include "cycle/Metrics.h"
#include "cycle/PhoneReplies.h"
#include "notify/SmsText.h"
#include "notify/channels/SmsChannel.h"

namespace {

constexpr size_t kRecordedNames = 64;  // names kept: far more than a crash can leave behind
constexpr size_t kFilesPerLook = 20;
constexpr int64_t kLookEveryMs = 500;
// smstools writes a received file in place: one this young may be unfinished.
constexpr int64_t kSettledSeconds = 1;

std::string spoolFolder(const Coupler& coupler, const char* sub) {
    std::string folder = coupler.uplinks->smsSpool;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder + "/" + sub;
}

SmsChannel* smsOf(Receiver& receiver) {
    if (receiver.channelKind != ChannelKind::Sms) return nullptr;
    return dynamic_cast<SmsChannel*>(receiver.notifier.get());
}

std::string withoutPlus(const std::string& number) {
    return !number.empty() && number[0] == '+' ? number.substr(1) : number;
}

// The SMS receiver that `number` may answer through: its own number, or one on its allow line.
Receiver* receiverAllowing(Coupler& coupler, const std::string& number) {
    for (int i = 0; i < coupler.receiverCount; ++i) {
        Receiver& receiver = coupler.receivers[i];
        SmsChannel* channel = smsOf(receiver);
        if (!channel) continue;
        if (withoutPlus(channel->number()) == number ||
            std::find(receiver.allowed.begin(), receiver.allowed.end(), number) != receiver.allowed.end())
            return &receiver;
    }
    return nullptr;
}

// The received files old enough to be whole, oldest name first, a bounded number.
std::vector<std::string> receivedFiles(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return names;
    int64_t now = std::time(nullptr);
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.' || name.size() > 200) continue;
        struct stat status {};
        if (::lstat((folder + "/" + name).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
        if (now - status.st_mtime < kSettledSeconds) continue;
        names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    if (names.size() > kFilesPerLook) names.resize(kFilesPerLook);
    return names;
}

bool readReceived(const std::string& path, std::string* content) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    char buffer[kMaxIncomingSmsBytes + 1];
    size_t total = 0;
    while (total < sizeof buffer) {
        ssize_t got = ::read(fd, buffer + total, sizeof buffer - total);
        if (got <= 0) break;
        total += static_cast<size_t>(got);
    }
    ::close(fd);
    content->assign(buffer, total);
    return true;
}

void answerBySms(Coupler& coupler, const std::string& number, const std::string& answer) {
    static unsigned count = 0;
    std::string name = "zentok-answer-" + std::to_string(static_cast<long long>(std::time(nullptr))) + "-" +
                       std::to_string(::getpid()) + "-" + std::to_string(++count);
    std::string error;
    if (!placeSpoolFile(spoolFolder(coupler, "outgoing"), name, smsSpoolFile("+" + number, fitSms(answer)),
                        &error))
        logf(Log::Always, "sms answer to +%s, err '%s'\n", number.c_str(), error.c_str());
}

// One received message: refused with its reason, or applied.
void handleReceived(Coupler& coupler, const std::string& name, const std::string& content) {
    IncomingSms sms;
    std::string why;
    if (!readIncomingSms(content, &sms, &why))
        return journalPhoneRefusal(coupler, nullptr, "via sms: file " + name + ": " + why);
    std::string who = "sms from +" + sms.from;
    if (!receiverAllowing(coupler, sms.from))
        return journalPhoneRefusal(coupler, nullptr, who + ": not allowed to acknowledge");
    PhoneAsk ask;
    if (!readAckText(sms.text, &ask)) {
        journalPhoneRefusal(coupler, nullptr, who + ": '" + sms.text.substr(0, 60) + "' is no ACK TAG");
        return answerBySms(coupler, sms.from, "Not understood. Reply ACK and the alarm's tag.");
    }
    Node* node = coupler.nodeNamed(ask.node.c_str());
    if (!node) {
        journalPhoneRefusal(coupler, nullptr, who + ": no node '" + ask.node + "'");
        return answerBySms(coupler, sms.from, "No alarm named " + ask.node + ".");
    }
    std::string answer;
    std::string by = "+" + sms.from;
    Coupler::AckRequest request;
    request.by = by.c_str();
    request.via = "sms";
    coupler.acknowledge(*node, request, &answer);
    answerBySms(coupler, sms.from, answer);
}

void readIncoming(Coupler& coupler) {
    std::string folder = spoolFolder(coupler, "incoming");
    std::string key = std::string("sms:") + coupler.uplinks->smsSpool;
    std::vector<std::string> done;
    for (const std::string& name : receivedFiles(folder)) {
        std::vector<std::string>& recorded = coupler.inboxMarks[key];
        bool seen = std::find(recorded.begin(), recorded.end(), name) != recorded.end();
        if (!seen) {
            std::string content;
            if (!readReceived(folder + "/" + name, &content)) continue;
            recorded.push_back(name);
            if (recorded.size() > kRecordedNames) recorded.erase(recorded.begin());
            handleReceived(coupler, name, content);
        }
        done.push_back(name);
    }
    if (done.empty()) return;
    coupler.writeStates();
    for (const std::string& name : done) ::unlink((folder + "/" + name).c_str());
}

// What smstools did with the messages handed to it.
void settleSent(Coupler& coupler) {
    for (int i = 0; i < coupler.receiverCount; ++i) {
        Receiver& receiver = coupler.receivers[i];
        SmsChannel* channel = smsOf(receiver);
        if (!channel) continue;
        for (const SmsOutcome& outcome : channel->takeOutcomes()) {
            logf(Log::Always, "notifySms, receiver %s, file %s to %s: %s\n", receiver.name,
                 outcome.file.c_str(), outcome.number.c_str(),
                 outcome.sent ? "sent" : "failed, smstools gave it up");
            if (coupler.metrics)
                coupler.metrics->countNotification(
                    receiver.name, "sms spool",
                    outcome.sent ? NotificationOutcome::Delivered : NotificationOutcome::GivenUp);
            Node* node = coupler.nodeNamed(outcome.address.c_str());
            if (!outcome.sent && node)
                coupler.journalEvent(JournalEvent::GivenUp, *node, node->triggerTime, receiver.name);
        }
    }
}

}  // namespace

void serveSmsSpool(Coupler& coupler) {
    static int64_t lookedAtMs = 0;
    if (!coupler.uplinks->smsSpool[0] || steadyMs() - lookedAtMs < kLookEveryMs) return;
    bool any = false;
    for (int i = 0; i < coupler.receiverCount && !any; ++i) any = smsOf(coupler.receivers[i]) != nullptr;
    if (!any) return;
    lookedAtMs = steadyMs();
    settleSent(coupler);
    readIncoming(coupler);
}

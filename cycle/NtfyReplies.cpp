// Replies by ntfy, on the main thread: an ntfy receiver with a reply topic
// puts a button on its alarms that publishes "ACK TAG CODE" to that topic on
// the same server; Zentok polls the topic (outbound, its token if set) with
// since= the last message it recorded. A topic may be public, so the code is
// what counts: an HMAC of the node and episode under a secret kept in the
// states file. A wrong code, one of another episode or a replay of one
// already used is refused and journalled. The message id is recorded by the
// same write as the acknowledgement, so a crash applies none twice.
#include <sys/random.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Log.h"
#include "cycle/Coupler.h"
#include "cycle/PhoneReplies.h"
#include "notify/HttpPost.h"
#include "notify/Sender.h"
#include "notify/channels/NtfyChannel.h"
#include "notify/twitter/Sha1.h"

namespace {

constexpr const char* kSecretKey = "ntfy-secret";
constexpr int64_t kPollEveryMs = 2000;
constexpr int64_t kLongestBackoffMs = 60000;
constexpr size_t kMaxReplyBytes = 65536;

struct Mailbox {
    std::mutex mutex;
    bool done = false;
    bool failed = false;
    std::string error;
    std::string reply;
};

// One poll of a reply topic at a time; kept across reloads, keyed by its URL.
struct TopicPoll {
    std::shared_ptr<Mailbox> mailbox;
    int64_t nextPollMs = 0;
    int64_t backoffMs = 0;
    bool failureSaid = false;
};

std::map<std::string, TopicPoll>& polls() {
    static std::map<std::string, TopicPoll> all;
    return all;
}

std::string secretOf(Coupler& coupler) {
    std::vector<std::string>& mark = coupler.inboxMarks[kSecretKey];
    if (mark.size() == 1 && mark[0].size() == 32) return mark[0];
    unsigned char bytes[16] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        logf(Log::Always, "ntfy reply codes: no random bytes, the codes are weaker\n");
    std::string hex;
    char two[3];
    for (unsigned char byte : bytes) {
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    mark = {hex};
    return hex;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::string word;
    for (char c : text + " ") {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            word += c;
        } else if (!word.empty()) {
            out.push_back(word);
            word.clear();
        }
    }
    return out;
}

bool isMessageId(const std::string& id) {
    return !id.empty() && id.size() <= 32 &&
           id.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") ==
               std::string::npos;
}

void startPoll(TopicPoll& poll, const NtfyChannel& channel, const std::string& url,
               const std::string& since) {
    auto mailbox = std::make_shared<Mailbox>();
    poll.mailbox = mailbox;
    HttpPostRequest request;
    request.channel = "ntfyReplies";
    request.get = true;
    request.url = url + "/json?poll=1&since=" + since;
    if (!channel.token().empty()) request.headers.push_back("Authorization: Bearer " + channel.token());
    request.lane = "ntfy replies " + url;
    request.delivery = std::make_shared<Delivery>(request.lane);  // wakes the main loop
    request.keptReplyBytes = kMaxReplyBytes;
    request.readReply = [mailbox](const std::string& reply, bool cut) {
        std::lock_guard<std::mutex> lock(mailbox->mutex);
        // A cut reply is read as far as its whole lines go; the rest comes with the next poll.
        mailbox->reply = cut ? reply.substr(0, reply.rfind('\n') + 1) : reply;
        mailbox->done = true;
    };
    request.takeFailure = [mailbox](const std::string& error) {
        std::lock_guard<std::mutex> lock(mailbox->mutex);
        mailbox->failed = true;
        mailbox->error = error;
        mailbox->done = true;
    };
    if (!startHttpPost(std::move(request))) poll.mailbox.reset();
}

void refuse(Coupler& coupler, const Node* node, const std::string& why) {
    journalPhoneRefusal(coupler, node, "via ntfy: " + why);
}

void handleMessage(Coupler& coupler, const std::string& text) {
    std::vector<std::string> parts = words(text);
    if (parts.size() != 3 || (parts[0] != "ACK" && parts[0] != "ack"))
        return refuse(coupler, nullptr, "'" + text.substr(0, 60) + "' is no ACK TAG CODE");
    Node* node = coupler.nodeNamed(parts[1].c_str());
    if (!node) return refuse(coupler, nullptr, "no node '" + parts[1].substr(0, 60) + "'");
    bool active = node->active && node->triggerTime != 0;
    if (!active || parts[2] != ntfyReplyCode(coupler, node->label(), node->triggerTime))
        return refuse(coupler, node, "a wrong code, or one of an alarm that has ended");
    if (node->acknowledged()) return refuse(coupler, node, "a code already used (replayed)");
    Coupler::AckRequest request;
    request.by = "phone";  // a topic's publisher has no name Zentok could trust
    request.via = "ntfy";
    request.episode = node->triggerTime;
    std::string answer;
    coupler.acknowledge(*node, request, &answer);
}

// The messages of a poll's reply, one JSON object a line, in order.
void readReply(Coupler& coupler, const std::string& key, const std::string& reply) {
    size_t at = 0;
    bool moved = false;
    while (at < reply.size()) {
        size_t end = reply.find('\n', at);
        if (end == std::string::npos) end = reply.size();
        nlohmann::json line = nlohmann::json::parse(reply.substr(at, end - at), nullptr, false);
        at = end + 1;
        if (!line.is_object() || line.value("event", "") != "message") continue;
        auto id = line.find("id");
        auto message = line.find("message");
        if (id == line.end() || !id->is_string() || !isMessageId(id->get<std::string>())) continue;
        coupler.inboxMarks[key] = {id->get<std::string>()};  // recorded by the acknowledgement's own write
        moved = true;
        handleMessage(coupler,
                      message != line.end() && message->is_string() ? message->get<std::string>() : "");
    }
    if (moved) coupler.writeStates();
}

void sayFailure(TopicPoll& poll, const std::string& url, const std::string& error) {
    poll.backoffMs = poll.backoffMs == 0 ? kPollEveryMs : std::min(poll.backoffMs * 2, kLongestBackoffMs);
    poll.nextPollMs = steadyMs() + poll.backoffMs;
    if (poll.failureSaid) return;
    poll.failureSaid = true;
    logf(Log::Always, "ntfy replies from '%s', err '%s': tried again with back-off\n", maskUrl(url).c_str(),
         error.c_str());
}

void serveTopic(Coupler& coupler, const NtfyChannel& channel, const std::string& topic) {
    std::string url = channel.serverBase() + "/" + topic;
    std::string key = "ntfy:" + url;
    TopicPoll& poll = polls()[url];
    if (poll.mailbox) {
        Mailbox& box = *poll.mailbox;
        std::unique_lock<std::mutex> lock(box.mutex);
        if (!box.done) return;
        bool failed = box.failed;
        std::string error = box.error;
        std::string reply = std::move(box.reply);
        lock.unlock();
        poll.mailbox.reset();
        if (failed) {
            sayFailure(poll, url, error);
            return;
        }
        if (poll.failureSaid)
            logf(Log::Always, "ntfy replies from '%s': reachable again\n", maskUrl(url).c_str());
        poll.failureSaid = false;
        poll.backoffMs = 0;
        poll.nextPollMs = steadyMs() + kPollEveryMs;
        readReply(coupler, key, reply);
    }
    if (steadyMs() < poll.nextPollMs) return;
    auto mark = coupler.inboxMarks.find(key);
    std::string since;
    if (mark != coupler.inboxMarks.end() && mark->second.size() == 1 && isMessageId(mark->second[0]))
        since = mark->second[0];
    else
        since =
            std::to_string(static_cast<long long>(std::time(nullptr)) - 60);  // none recorded: from now on
    startPoll(poll, channel, url, since);
}

}  // namespace

std::string ntfyReplyCode(Coupler& coupler, const std::string& label, int64_t episode) {
    std::string secret = secretOf(coupler);
    std::string message = label + " " + std::to_string(episode);
    uint8_t digest[20];
    HmacSha1().compute(reinterpret_cast<const uint8_t*>(message.data()), message.size(),
                       reinterpret_cast<const uint8_t*>(secret.data()), secret.size(), digest);
    static const char kAlphabet[] = "abcdefghijkmnpqrstuvwxyz23456789";  // no l, o, 0, 1: read off a phone
    std::string code;
    for (int i = 0; i < 8; ++i) code += kAlphabet[digest[i] & 31];
    return code;
}

void endNtfyPolls() {
    for (auto& poll : polls()) {
        if (!poll.second.mailbox) continue;
        poll.second.mailbox.reset();
        sender().abandonLane("ntfy replies " + poll.first);
    }
}

void serveNtfyReplies(Coupler& coupler) {
    for (int i = 0; i < coupler.receiverCount; ++i) {
        Receiver& receiver = coupler.receivers[i];
        if (receiver.channelKind != ChannelKind::Ntfy || receiver.replyTopic.empty()) continue;
        const auto* channel = dynamic_cast<const NtfyChannel*>(receiver.notifier.get());
        if (channel && channel->addressFault().empty()) serveTopic(coupler, *channel, receiver.replyTopic);
    }
}

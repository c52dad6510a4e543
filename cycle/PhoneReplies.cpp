// Acknowledgements from the phone, on the main thread: the Telegram bot's
// updates come in through its long poll (notify/TelegramUpdates), each is
// checked (the chat a receiver sends to, a user its "allow" line names, a
// node and episode that are current) and applied as `zentok ack` applies a
// request. The update's id is recorded in the states file by the same write
// as the acknowledgement, and Telegram is told to forget it only by the next
// poll, after that write: a crash before it fetches the update again, a crash
// after it finds it recorded, so each is applied once.
#include "cycle/PhoneReplies.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Log.h"
#include "base/Text.h"
#include "cycle/AlarmJournal.h"
#include "cycle/Coupler.h"
#include "notify/Notification.h"
#include "notify/Receiver.h"
#include "notify/TelegramUpdates.h"
#include "notify/channels/TelegramChannel.h"

namespace {

using nlohmann::json;

constexpr int64_t kFirstBackoffMs = 1000;
constexpr int64_t kLongestBackoffMs = 60000;
constexpr int kShelveSeconds = 3600;
constexpr size_t kMaxAnswerBytes = 200;  // answerCallbackQuery shows at most 200 characters

bool allDigits(const std::string& text) {
    return !text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == std::string::npos;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t start = text.find_first_not_of(' ', at);
        if (start == std::string::npos) break;
        size_t end = text.find(' ', start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        at = end == std::string::npos ? text.size() : end;
    }
    return out;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const TelegramChannel* telegramOf(const Receiver& receiver) {
    if (receiver.channelKind != ChannelKind::Telegram || receiver.allowed.empty()) return nullptr;
    return dynamic_cast<const TelegramChannel*>(receiver.notifier.get());
}

bool allows(const Receiver& receiver, int64_t userId) {
    std::string id = std::to_string(userId);
    return std::find(receiver.allowed.begin(), receiver.allowed.end(), id) != receiver.allowed.end();
}

}  // namespace

void journalPhoneRefusal(Coupler& coupler, const Node* node, const std::string& what) {
    logf(Log::Always, "phone reply refused: %s\n", what.c_str());
    if (!coupler.journal || !coupler.journal->enabled()) return;
    if (node) return coupler.journalEvent(JournalEvent::Refused, *node, node->triggerTime, what.c_str());
    JournalRecord record;
    record.time = currentTime();
    record.event = JournalEvent::Refused;
    record.receiver = what;
    coupler.journal->record(record);
}

namespace {

// The node a button or text names; a button whose label did not fit names
// the episode alone, which must then be the alarm of exactly one node.
Node* nodeAsked(Coupler& coupler, const PhoneAsk& ask) {
    if (!ask.node.empty()) return coupler.nodeNamed(ask.node.c_str());
    Node* found = nullptr;
    for (int i = 0; i < coupler.nodeCount; ++i) {
        Node& node = coupler.nodes[i];
        if (!node.active || node.triggerTime != ask.episode) continue;
        if (found) return nullptr;
        found = &node;
    }
    return found;
}

class TelegramDesk {
  public:
    TelegramDesk(Coupler& coupler, const Uplinks& uplinks) : coupler_(coupler), uplinks_(uplinks) {}

    void handle(const TelegramUpdate& update) {
        if (!update.reply) return;
        std::string who = "telegram user " + std::to_string(update.userId);
        const Receiver* receiver = receiverOfChat(update.chatId);
        if (!receiver)
            return refuse(update, nullptr,
                          who + " in chat " + std::to_string(update.chatId) +
                              ": no receiver with an allow line sends there");
        PhoneAsk ask;
        bool button = !update.callbackId.empty();
        bool read = button ? readButtonData(update.data, &ask) : readAckText(update.data, &ask);
        if (!read) {
            // Talk in a group is none of ours; a button we did not make is.
            if (button) refuse(update, nullptr, who + ": a button Zentok did not make");
            return;
        }
        Node* node = nodeAsked(coupler_, ask);
        if (!allows(*receiver, update.userId))
            return refuse(update, node, who + " (" + update.userName + ") is not allowed to acknowledge");
        if (!node) return refuse(update, nullptr, who + ": no node '" + ask.node + "'");
        if (ask.action == PhoneAsk::Action::Shelve && !receiver->allowShelve)
            return refuse(update, node, who + ": shelving is not allowed through this receiver");
        apply(update, *node, ask);
    }

  private:
    const Receiver* receiverOfChat(int64_t chatId) const {
        for (int i = 0; i < coupler_.receiverCount; ++i) {
            const TelegramChannel* channel = telegramOf(coupler_.receivers[i]);
            if (channel && channel->chatId() == chatId) return &coupler_.receivers[i];
        }
        return nullptr;
    }

    void apply(const TelegramUpdate& update, Node& node, const PhoneAsk& ask) {
        std::string answer;
        std::string name = update.userName.empty() ? "telegram user" : update.userName;
        std::string id = std::to_string(update.userId);
        bool done = false;
        bool fresh = false;
        if (ask.action == PhoneAsk::Action::Ack) {
            bool before = node.acknowledged();
            Coupler::AckRequest request;
            request.by = name.c_str();
            request.owner = id.c_str();
            request.episode = ask.episode;
            request.via = "telegram";
            done = coupler_.acknowledge(node, request, &answer);
            fresh = done && !before;
        } else {
            std::string note = "from telegram by " + name;
            done = coupler_.shelveNode(node, kShelveSeconds, currentTime(), note.c_str(), &answer);
            fresh = done;
        }
        reply(update, answer);
        if (fresh && !update.callbackId.empty() && update.messageId != 0) editMessage(update, node, ask);
    }

    // The message under the button says what became of it; its buttons go.
    void editMessage(const TelegramUpdate& update, const Node& node, const PhoneAsk& ask) {
        std::string what =
            ask.action == PhoneAsk::Action::Ack
                ? "Acknowledged by " + std::string(node.ack.by) + " at " + formatDateTime(node.ack.at)
                : "Shelved by " + update.userName + " until " + formatDateTime(node.shelve.until);
        json body = {{"chat_id", update.chatId},
                     {"message_id", update.messageId},
                     {"text", telegramMessageText(update.messageText + "\n\n" + what)}};
        TelegramInbox::call(uplinks_, "editMessageText",
                            body.dump(-1, ' ', false, json::error_handler_t::replace));
    }

    void reply(const TelegramUpdate& update, const std::string& answer) {
        if (!update.callbackId.empty()) {
            json body = {{"callback_query_id", update.callbackId},
                         {"text", telegramMessageText(answer.substr(0, kMaxAnswerBytes))}};
            TelegramInbox::call(uplinks_, "answerCallbackQuery",
                                body.dump(-1, ' ', false, json::error_handler_t::replace));
        } else if (update.hasChat) {
            TelegramInbox::call(uplinks_, "sendMessage", telegramBody(update.chatId, answer.c_str()));
        }
    }

    void refuse(const TelegramUpdate& update, const Node* node, const std::string& why) {
        journalPhoneRefusal(coupler_, node, "via telegram: " + why);
        reply(update, "Not done: " + why);
    }

    Coupler& coupler_;
    const Uplinks& uplinks_;
};

std::string inboxKey(const Uplinks& uplinks) {
    return "telegram:" + telegramBotId(uplinks);
}

int64_t nextUpdateId(const Coupler& coupler, const std::string& key) {
    auto mark = coupler.inboxMarks.find(key);
    if (mark == coupler.inboxMarks.end() || mark->second.empty() || !allDigits(mark->second[0])) return 0;
    return std::strtoll(mark->second[0].c_str(), nullptr, 10);
}

void sayRoundFailed(TelegramInbox& inbox, const std::string& error) {
    inbox.backoffMs =
        inbox.backoffMs == 0 ? kFirstBackoffMs : std::min(inbox.backoffMs * 2, kLongestBackoffMs);
    inbox.nextPollMs = steadyMs() + inbox.backoffMs;
    if (inbox.failureSaid) return;
    inbox.failureSaid = true;
    logf(Log::Always, "telegram updates, err '%s': replies from the phone wait, tried again with back-off\n",
         error.c_str());
}

}  // namespace

void offerReplies(Coupler& coupler, const Receiver& receiver, Notification* notification) {
    if (receiver.channelKind == ChannelKind::Ntfy && !receiver.replyTopic.empty()) {
        int64_t episode = notification->episode != 0 ? static_cast<int64_t>(notification->episode)
                                                     : notification->triggerTime;
        const std::string& state = notification->state;
        bool asks = state.empty() || state == "raised" || state == "reminder" || state == "escalated";
        if (!asks || episode <= 0 || notification->label().empty()) return;
        notification->replyTopic = receiver.replyTopic;
        notification->replyCode = ntfyReplyCode(coupler, notification->label(), episode);
        return;
    }
    if (!telegramOf(receiver) && receiver.channelKind != ChannelKind::Sms) return;
    notification->replyButtons = true;
    notification->shelveButton = receiver.allowShelve;
}

bool readButtonData(const std::string& data, PhoneAsk* ask) {
    std::vector<std::string> parts = words(data);
    if (parts.size() < 2 || parts.size() > 3 || !allDigits(parts[1])) return false;
    if (parts[0] == "ack")
        ask->action = PhoneAsk::Action::Ack;
    else if (parts[0] == "shelve")
        ask->action = PhoneAsk::Action::Shelve;
    else
        return false;
    ask->episode = std::strtoll(parts[1].c_str(), nullptr, 10);
    ask->node = parts.size() == 3 ? parts[2] : "";
    return ask->episode > 0;
}

bool readAckText(const std::string& text, PhoneAsk* ask) {
    std::vector<std::string> parts = words(text);
    if (parts.size() != 2) return false;
    std::string command = lower(parts[0]);
    if (command.compare(0, 5, "/ack@") == 0) command = "/ack";
    if (command != "/ack" && command != "ack") return false;
    ask->action = PhoneAsk::Action::Ack;
    ask->episode = 0;
    ask->node = parts[1];
    return true;
}

void Coupler::servePhoneReplies() {
    serveSmsSpool(*this);
    serveNtfyReplies(*this);
    bool anyTelegram = false;
    for (int i = 0; i < receiverCount; ++i) anyTelegram = anyTelegram || telegramOf(receivers[i]);
    TelegramInbox& inbox = telegramInbox();
    if (!anyTelegram || !telegramUplinkFault(*uplinks).empty()) return inbox.stop();

    std::string key = inboxKey(*uplinks);
    int64_t next = nextUpdateId(*this, key);
    TelegramRound round;
    if (inbox.take(&round)) {
        if (round.failed) {
            sayRoundFailed(inbox, round.error);
        } else {
            if (inbox.failureSaid) logf(Log::Always, "telegram updates: reachable again\n");
            inbox.failureSaid = false;
            inbox.backoffMs = 0;
            TelegramDesk desk(*this, *uplinks);
            bool moved = false;
            if (round.cut && inbox.limit > 1) {
                inbox.limit = 1;  // read one at a time, to find the one too large
            } else if (round.cut) {
                // The one update asked for is too large: its id is the first of
                // the reply, or else the offset asked for (ids follow each other).
                int64_t skipped = round.cutUpdateId >= next ? round.cutUpdateId : next;
                journalPhoneRefusal(*this, nullptr,
                                    "via telegram: update " + std::to_string(skipped) + " larger than " +
                                        std::to_string(kMaxUpdatesReplyBytes) + " bytes, passed over");
                next = skipped + 1;
                moved = true;
            } else {
                inbox.limit = 20;
            }
            for (const TelegramUpdate& update : round.updates) {
                if (update.updateId < next) continue;  // recorded already: applied before a restart
                next = update.updateId + 1;
                // Set before the update is applied, so the acknowledgement's own
                // write records both.
                inboxMarks[key] = {std::to_string(next)};
                moved = true;
                desk.handle(update);
            }
            if (moved) {
                inboxMarks[key] = {std::to_string(next)};
                writeStates();
            }
        }
    }
    if (!inbox.polling() && steadyMs() >= inbox.nextPollMs && !inbox.startPoll(*uplinks, next, inbox.limit))
        sayRoundFailed(inbox, "no sender");
}

void Coupler::endPhonePolls() {
    telegramInbox().stop();
    endNtfyPolls();
}

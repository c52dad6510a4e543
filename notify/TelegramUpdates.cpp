// Telegram's updates: the reader of a getUpdates reply, which takes only the
// fields a reply to an alarm needs and bounds each, and the one poll of the
// process, a POST through the sender on a lane of its own.
#include "notify/TelegramUpdates.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <nlohmann/json.hpp>

#include "base/Log.h"
#include "notify/HttpPost.h"
#include "notify/Notifier.h"
#include "notify/Sender.h"
#include "notify/Utf8Text.h"
#include "notify/channels/TelegramChannel.h"

namespace {

using nlohmann::json;

constexpr size_t kMaxButtonData = 64;  // the Bot API's bound of callback_data
constexpr size_t kMaxNameBytes = 63;
constexpr size_t kMaxDataBytes = 256;
std::atomic<int> gPollSeconds{25};

int64_t integerAt(const json& object, const char* key) {
    auto found = object.find(key);
    return found != object.end() && found->is_number_integer() ? found->get<int64_t>() : 0;
}

// A text field as one bounded line of valid UTF-8.
std::string textAt(const json& object, const char* key, size_t bound) {
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return "";
    std::string text = found->get<std::string>().substr(0, bound);
    text = validUtf8(text.data(), text.size());
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    return text;
}

void readSender(const json& from, TelegramUpdate* update) {
    if (!from.is_object()) return;
    update->userId = integerAt(from, "id");
    update->userName = textAt(from, "first_name", kMaxNameBytes);
    if (update->userName.empty()) update->userName = textAt(from, "username", kMaxNameBytes);
}

void readChat(const json& message, TelegramUpdate* update) {
    auto chat = message.find("chat");
    if (chat == message.end() || !chat->is_object() || !chat->contains("id")) return;
    update->chatId = integerAt(*chat, "id");
    update->hasChat = (*chat)["id"].is_number_integer();
}

void readCallback(const json& query, TelegramUpdate* update) {
    if (!query.is_object()) return;
    update->callbackId = textAt(query, "id", kMaxDataBytes);
    update->data = textAt(query, "data", kMaxDataBytes);
    if (query.contains("from")) readSender(query["from"], update);
    auto message = query.find("message");
    if (message != query.end() && message->is_object()) {
        update->messageId = integerAt(*message, "message_id");
        update->messageText = textAt(*message, "text", 4096);
        readChat(*message, update);
    }
    update->reply = !update->callbackId.empty() && update->userId != 0;
}

void readMessage(const json& message, TelegramUpdate* update) {
    if (!message.is_object()) return;
    update->data = textAt(message, "text", kMaxDataBytes);
    if (message.contains("from")) readSender(message["from"], update);
    readChat(message, update);
    update->reply = update->userId != 0 && update->hasChat && !update->data.empty();
}

}  // namespace

bool parseTelegramUpdates(const std::string& reply, std::vector<TelegramUpdate>* updates, std::string* why) {
    updates->clear();
    json parsed = json::parse(reply, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        *why = "the reply is no JSON object";
        return false;
    }
    auto ok = parsed.find("ok");
    auto result = parsed.find("result");
    if (ok == parsed.end() || !ok->is_boolean() || !ok->get<bool>() || result == parsed.end() ||
        !result->is_array()) {
        *why = "the reply is no list of updates";
        return false;
    }
    for (const json& item : *result) {
        if (!item.is_object()) continue;
        TelegramUpdate update;
        update.updateId = integerAt(item, "update_id");
        if (update.updateId <= 0) continue;
        if (item.contains("callback_query"))
            readCallback(item["callback_query"], &update);
        else if (item.contains("message"))
            readMessage(item["message"], &update);
        updates->push_back(std::move(update));
    }
    std::stable_sort(updates->begin(), updates->end(), [](const TelegramUpdate& a, const TelegramUpdate& b) {
        return a.updateId < b.updateId;
    });
    return true;
}

int64_t firstUpdateIdOf(const std::string& start) {
    const std::string key = "\"update_id\"";
    size_t at = start.find(key);
    if (at == std::string::npos) return 0;
    at += key.size();
    while (at < start.size() && (start[at] == ' ' || start[at] == ':')) ++at;
    int64_t id = 0;
    size_t digits = 0;
    for (; at < start.size() && std::isdigit(static_cast<unsigned char>(start[at])) && digits < 18;
         ++at, ++digits)
        id = id * 10 + (start[at] - '0');
    return digits > 0 && digits < 18 ? id : 0;
}

std::string telegramButtonData(const char* action, uint64_t episode, const std::string& label) {
    std::string data = std::string(action) + " " + std::to_string(episode);
    if (!label.empty() && data.size() + 1 + label.size() <= kMaxButtonData) data += " " + label;
    return data;
}

namespace {

std::string newInboxLane() {
    static std::atomic<int> count{0};
    return "telegram updates " + std::to_string(++count);
}

}  // namespace

TelegramInbox::TelegramInbox() : mailbox_(std::make_shared<Mailbox>()), lane_(newInboxLane()) {}

TelegramInbox::~TelegramInbox() {
    stop();
}

bool TelegramInbox::polling() const {
    std::lock_guard<std::mutex> lock(mailbox_->mutex);
    return mailbox_->running;
}

bool TelegramInbox::startPoll(const Uplinks& uplinks, int64_t offset, int most) {
    // A fresh mailbox per round: an abandoned round can never fill the next one.
    auto mailbox = std::make_shared<Mailbox>();
    mailbox->running = true;
    {
        std::lock_guard<std::mutex> lock(mailbox_->mutex);
        if (mailbox_->running) return false;
    }
    mailbox_ = mailbox;
    int seconds = telegramPollSeconds();
    json body = {{"offset", offset},
                 {"timeout", seconds},
                 {"limit", most},
                 {"allowed_updates", json::array({"message", "callback_query"})}};
    HttpPostRequest request;
    request.channel = "telegramUpdates";
    request.url = telegramMethodUrl(uplinks, "getUpdates");
    request.shownUrl = telegramShownUrl(uplinks, "getUpdates");
    request.headers.push_back("Content-Type: application/json");
    request.body = body.dump();
    request.lane = lane_;
    // The delivery only wakes the main loop when the round ends.
    request.delivery = std::make_shared<Delivery>(lane_);
    request.keptReplyBytes = kMaxUpdatesReplyBytes;
    request.totalTimeoutMs = (seconds + 30) * 1000L;
    request.readRefusal = [](long, const std::string& reply, Delivery*) {
        int retryAfter = 0;
        return telegramRefusal(reply, &retryAfter);
    };
    request.readReply = [mailbox](const std::string& reply, bool cut) {
        std::lock_guard<std::mutex> lock(mailbox->mutex);
        TelegramRound& round = mailbox->round;
        round.cut = cut;
        if (cut)
            round.cutUpdateId = firstUpdateIdOf(reply);
        else if (!parseTelegramUpdates(reply, &round.updates, &round.error))
            round.failed = true;
        mailbox->running = false;
        mailbox->done = true;
    };
    request.takeFailure = [mailbox](const std::string& error) {
        std::lock_guard<std::mutex> lock(mailbox->mutex);
        mailbox->round.failed = true;
        mailbox->round.error = error;
        mailbox->running = false;
        mailbox->done = true;
    };
    if (startHttpPost(std::move(request))) return true;
    std::lock_guard<std::mutex> lock(mailbox->mutex);
    mailbox->running = false;
    return false;
}

bool TelegramInbox::take(TelegramRound* round) {
    std::lock_guard<std::mutex> lock(mailbox_->mutex);
    if (!mailbox_->done) return false;
    *round = std::move(mailbox_->round);
    mailbox_->round = TelegramRound{};
    mailbox_->done = false;
    return true;
}

void TelegramInbox::stop() {
    {
        std::lock_guard<std::mutex> lock(mailbox_->mutex);
        if (!mailbox_->running) return;
        mailbox_->running = false;
    }
    sender().abandonLane(lane_);
}

void TelegramInbox::call(const Uplinks& uplinks, const char* method, const std::string& body) {
    HttpPostRequest request;
    request.channel = "telegramReply";
    request.url = telegramMethodUrl(uplinks, method);
    request.shownUrl = telegramShownUrl(uplinks, method);
    request.headers.push_back("Content-Type: application/json");
    request.body = body;
    request.lane = "telegram replies";
    startHttpPost(std::move(request));
}

TelegramInbox& telegramInbox() {
    static TelegramInbox inbox;
    return inbox;
}

void setTelegramPollSecondsForTesting(int seconds) {
    gPollSeconds = seconds > 0 ? seconds : 25;
}

int telegramPollSeconds() {
    return gPollSeconds.load();
}

std::string telegramBotId(const Uplinks& uplinks) {
    std::string token = uplinks.telegramToken;
    return token.substr(0, token.find(':'));
}

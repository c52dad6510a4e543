// The Telegram channel. The token is part of the request's path
// (".../bot<TOKEN>/sendMessage"), so the channel gives the sender a shown URL
// with the token masked; the reply is read only when the API refuses, for
// its reason and for the wait it asks for (HTTP 429, retry_after).
#include "notify/channels/TelegramChannel.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "base/Log.h"
#include "base/Settings.h"
#include "base/Text.h"
#include "notify/HttpPost.h"
#include "notify/NoticeFields.h"
#include "notify/TelegramUpdates.h"
#include "notify/UrlScheme.h"
#include "notify/Utf8Text.h"

namespace {

constexpr const char* kPublicApi = "https://api.telegram.org";
// sendMessage takes at most 4096 characters; a longer text is cut there.
constexpr size_t kMaxMessageCharacters = 4096;

bool parseChatId(const std::string& text, int64_t* id) {
    if (text.empty() || text.size() > 20) return false;
    size_t digits = text[0] == '-' ? 1 : 0;
    if (digits == text.size()) return false;
    for (size_t i = digits; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    errno = 0;
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    *id = value;
    return true;
}

// Bot tokens are "<bot id>:<secret>" of letters, digits, "_" and "-"; any
// other character could change the request's path.
bool isTokenText(const char* token) {
    if (!*token) return false;
    for (const char* p = token; *p; ++p) {
        char c = *p;
        bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       c == ':' || c == '_' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

std::string apiBase(const Uplinks& uplinks) {
    std::string base = uplinks.telegramApiBase[0] ? uplinks.telegramApiBase : kPublicApi;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

// The first `count` characters of valid UTF-8 text.
std::string firstCharacters(const std::string& text, size_t count) {
    size_t at = 0;
    for (size_t seen = 0; at < text.size() && seen < count; ++seen) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
    }
    return text.substr(0, at);
}

}  // namespace

std::string telegramUplinkFault(const Uplinks& uplinks) {
    if (!isTokenText(uplinks.telegramToken))
        return "uplink;telegram needs the bot token as the bot father gave it";
    if (uplinks.telegramApiBase[0])
        return schemeFault("telegram api url", uplinks.telegramApiBase, {"http", "https"});
    return "";
}

TelegramChannel::TelegramChannel(char* rest, UplinksHandle uplinks) : uplinks_(std::move(uplinks)) {
    char* cursor = rest;
    char* field = rest ? nextToken(&cursor, ";") : nullptr;
    chatText_ = field ? field : "";
    chatIdValid_ = parseChatId(chatText_, &chatId_);
}

std::string TelegramChannel::addressFault() const {
    if (!chatIdValid_) return "telegram chat id '" + chatText_ + "' is not a number";
    return "";
}

std::string TelegramChannel::sendFault() const {
    std::string fault = addressFault();
    return fault.empty() ? telegramUplinkFault(*uplinks_) : fault;
}

std::string telegramMessageText(const std::string& text) {
    return firstCharacters(validUtf8(text.data(), text.size()), kMaxMessageCharacters);
}

std::string telegramBody(int64_t chatId, const char* text) {
    nlohmann::json body = {{"chat_id", chatId}, {"text", telegramMessageText(text)}};
    return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

// Buttons go on what asks for a response: the raise, its reminders and its
// escalation, never on a clear or on the operator's own notices.
bool wantsButtons(const Notification& notification) {
    if (!notification.replyButtons) return false;
    const std::string& state = notification.state;
    if (!state.empty() && state != "raised" && state != "reminder" && state != "escalated") return false;
    return notification.episode != 0 || notification.triggerTime > 0;
}

}  // namespace

std::string telegramBody(int64_t chatId, const Notification& notification) {
    if (!wantsButtons(notification)) return telegramBody(chatId, notification.text.c_str());
    uint64_t episode =
        notification.episode != 0 ? notification.episode : static_cast<uint64_t>(notification.triggerTime);
    nlohmann::json row = nlohmann::json::array();
    row.push_back({{"text", "Acknowledge"},
                   {"callback_data", telegramButtonData("ack", episode, notification.label())}});
    if (notification.shelveButton)
        row.push_back({{"text", "Shelve 1 h"},
                       {"callback_data", telegramButtonData("shelve", episode, notification.label())}});
    nlohmann::json body = {{"chat_id", chatId},
                           {"text", telegramMessageText(notification.text)},
                           {"reply_markup", {{"inline_keyboard", nlohmann::json::array({row})}}}};
    return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string telegramMethodUrl(const Uplinks& uplinks, const char* method) {
    return apiBase(uplinks) + "/bot" + uplinks.telegramToken + "/" + method;
}

std::string telegramShownUrl(const Uplinks& uplinks, const char* method) {
    return maskUrl(apiBase(uplinks)) + "/bot***/" + method;
}

std::string telegramRefusal(const std::string& reply, int* retryAfter) {
    *retryAfter = 0;
    nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return "";
    auto parameters = parsed.find("parameters");
    if (parameters != parsed.end() && parameters->is_object()) {
        auto wait = parameters->find("retry_after");
        if (wait != parameters->end() && wait->is_number_integer()) {
            int64_t seconds = wait->get<int64_t>();
            if (seconds > 0) *retryAfter = seconds > 86400 ? 86400 : static_cast<int>(seconds);
        }
    }
    auto description = parsed.find("description");
    if (description == parsed.end() || !description->is_string()) return "";
    // Shown on the console: one line, bounded.
    std::string reason = description->get<std::string>().substr(0, 200);
    for (char& c : reason)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    return validUtf8(reason.data(), reason.size());
}

bool TelegramChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    HttpPostRequest request;
    request.channel = "notifyTelegram";
    request.url = telegramMethodUrl(*uplinks_, "sendMessage");
    request.shownUrl = telegramShownUrl(*uplinks_, "sendMessage");
    request.headers.push_back("Content-Type: application/json");
    request.body = telegramBody(chatId_, notification);
    request.delivery = delivery;
    request.readRefusal = [](long, const std::string& reply, Delivery* outcome) {
        int retryAfter = 0;
        std::string reason = telegramRefusal(reply, &retryAfter);
        if (outcome && retryAfter > 0) outcome->setRetryAfterSeconds(retryAfter);
        return reason;
    };

    logf(Log::Always, "notifyTelegram::notify, chat %lld, source %s, node %s, %s\n",
         static_cast<long long>(chatId_), notification.sourceName.c_str(), notification.address.c_str(),
         consoleText(notification).c_str());
    return startHttpPost(std::move(request));
}

// The "telegram" channel: sends each notification as a message of a bot to
// one chat through the Bot API's sendMessage, the bot's token and the API's
// address from the uplink;telegram line.
#pragma once

#include <cstdint>
#include <string>

#include "base/Settings.h"
#include "notify/Notifier.h"

class TelegramChannel : public Notifier {
  public:
    // `rest` is the address line behind "telegram" (may be null): the chat
    // id. The bot and the API's address are those of `uplinks`.
    explicit TelegramChannel(char* rest, UplinksHandle uplinks = noUplinks());

    // The sender runs the post itself; false when it could not take it.
    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;
    // The chat id must be a number (a group's is negative).
    std::string addressFault() const override;
    // ... and the uplink must give a usable token and API address.
    std::string sendFault() const override;
    // The chat it sends to: a reply counts only from there.
    int64_t chatId() const { return chatIdValid_ ? chatId_ : 0; }

  private:
    std::string chatText_;
    int64_t chatId_ = 0;
    bool chatIdValid_ = false;
    UplinksHandle uplinks_;
};

// Empty when the uplink;telegram settings can be used; otherwise what is
// wrong with them, never the token itself.
std::string telegramUplinkFault(const Uplinks& uplinks);

// The JSON body of sendMessage: chat_id and the text, cut to what one
// message may hold, in valid UTF-8.
std::string telegramBody(int64_t chatId, const char* text);
// ... with the buttons a receiver that takes replies puts under an alarm
// (Acknowledge; Shelve 1 h), when `notification` asks for them.
std::string telegramBody(int64_t chatId, const Notification& notification);

// A Bot API method's URL, and that URL as the console shows it (the token masked).
std::string telegramMethodUrl(const Uplinks& uplinks, const char* method);
std::string telegramShownUrl(const Uplinks& uplinks, const char* method);

// A text cut to what one message may hold, in valid UTF-8.
std::string telegramMessageText(const std::string& text);

// The reason of a refusal as the Bot API states it ({"ok":false,
// "description":...,"parameters":{"retry_after":N}}); `retryAfter` gets N,
// or 0. Empty for a reply that is not such an object.
std::string telegramRefusal(const std::string& reply, int* retryAfter);

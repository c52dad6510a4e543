// The way back from Telegram: the bot's updates, fetched by a long poll of
// getUpdates through the sender (an outbound request, no webhook, no port),
// and the calls that answer them (answerCallbackQuery, editMessageText,
// sendMessage). What an update asks for is decided by the cycle; this reads
// and carries, and trusts nothing of what it reads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Settings.h"

// One update as far as a reply to an alarm needs it. An update of a kind no
// reply comes in (an edit, a channel post) has `reply` false: only its id
// counts, so the poll moves past it.
struct TelegramUpdate {
    int64_t updateId = 0;
    bool reply = false;
    int64_t userId = 0;    // who pressed or wrote
    std::string userName;  // as Telegram names them: first name, else @username
    int64_t chatId = 0;    // the chat the button's message or the text is in
    bool hasChat = false;
    std::string callbackId;   // a button press; empty for a text
    std::string data;         // the button's callback data, or the text
    int64_t messageId = 0;    // the message the button is on
    std::string messageText;  // ... and its text, for the edit that says who acknowledged
};

// A getUpdates reply taken in whole ({"ok":true,"result":[...]}), in the
// order of the ids. False, with the reason, for anything else.
bool parseTelegramUpdates(const std::string& reply, std::vector<TelegramUpdate>* updates, std::string* why);
// The first update id in the start of a reply too large to keep; 0 when
// that start holds none.
int64_t firstUpdateIdOf(const std::string& start);

// A reply to the bot's messages is kept to this size; a longer reply is cut
// there and read one update at a time, and an update longer than this is
// passed over.
constexpr size_t kMaxUpdatesReplyBytes = 65536;

// "ack EPISODE LABEL" or "shelve EPISODE LABEL" on a button, within the 64
// bytes the Bot API allows: a label too long leaves it out.
std::string telegramButtonData(const char* action, uint64_t episode, const std::string& label);

// What one poll brought back.
struct TelegramRound {
    bool failed = false;
    std::string error;  // the failure, or why the reply could not be read
    bool cut = false;   // the reply was longer than kMaxUpdatesReplyBytes
    int64_t cutUpdateId = 0;
    std::vector<TelegramUpdate> updates;
};

// The process's poll of one bot: at most one getUpdates at a time, on a
// lane of its own, so it never holds up a notification. The main thread
// starts a round when it has recorded the last one, and takes its result.
class TelegramInbox {
  public:
    TelegramInbox();
    ~TelegramInbox();
    TelegramInbox(const TelegramInbox&) = delete;
    TelegramInbox& operator=(const TelegramInbox&) = delete;

    // Asks for the updates from `offset` on (which confirms those before
    // it to Telegram), at most `most`; the answer wakes the main loop.
    bool startPoll(const Uplinks& uplinks, int64_t offset, int most);
    bool polling() const;
    // The finished round, once; false while none is waiting.
    bool take(TelegramRound* round);
    // Lets a running poll go (a stop, or no receiver takes replies any more).
    void stop();
    // Calls a Bot API method with a JSON body and lets it go: an answer to a
    // press, an edit. A failure is said; nothing waits for it.
    static void call(const Uplinks& uplinks, const char* method, const std::string& body);

    // The main thread's pacing of the rounds: the back-off after a failure
    // and whether that failure was said.
    int64_t nextPollMs = 0;
    int64_t backoffMs = 0;
    bool failureSaid = false;
    int limit = 20;

  private:
    struct Mailbox {
        std::mutex mutex;
        bool running = false;
        bool done = false;
        TelegramRound round;
    };
    std::shared_ptr<Mailbox> mailbox_;
    std::string lane_;
};

// The process's inbox for the bot of `uplinks`: one, so two configurations
// of one run never poll the same bot at once (Telegram answers that with a
// conflict).
TelegramInbox& telegramInbox();

// How long a poll waits at Telegram for an update (seconds; 25 unless a
// test shortens it).
void setTelegramPollSecondsForTesting(int seconds);
int telegramPollSeconds();

// The bot id, the part of the token before ':', which names the bot without its secret.
std::string telegramBotId(const Uplinks& uplinks);

// Fuzzes the readers of what comes back from the phone: a getUpdates reply
// of the Telegram Bot API (and the id scan of one cut at its bound), a
// received SMS file of the smstools spool, and the button and ACK texts
// either carries.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cycle/PhoneReplies.h"
#include "notify/SmsText.h"
#include "notify/TelegramUpdates.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    std::vector<TelegramUpdate> updates;
    std::string why;
    if (parseTelegramUpdates(input, &updates, &why)) {
        int64_t last = 0;
        for (const TelegramUpdate& update : updates) {
            // In the order of their ids, each taken only with a positive id.
            if (update.updateId <= 0 || update.updateId < last) std::abort();
            last = update.updateId;
            if (update.data.size() > 256 || update.userName.size() > 63) std::abort();
            PhoneAsk ask;
            if (readButtonData(update.data, &ask) && ask.episode <= 0) std::abort();
        }
    }
    if (firstUpdateIdOf(input) < 0) std::abort();

    IncomingSms sms;
    if (readIncomingSms(input, &sms, &why)) {
        if (sms.from.empty() || sms.from.find_first_not_of("0123456789") != std::string::npos) std::abort();
        for (char c : sms.text)
            if (static_cast<unsigned char>(c) < 0x20) std::abort();
        PhoneAsk ask;
        if (readAckText(sms.text, &ask) && ask.node.empty()) std::abort();
    }
    SmsText text = fitSms(input);
    if (text.parts < 1 || text.parts > kMaxSmsParts) std::abort();
    return 0;
}

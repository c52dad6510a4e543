// Receiver: the channel factory for address lines and the hand-over of one
// notification to the receiver's channel.
#include <cstdio>
#include <memory>
#include <string>

#include "core/Records.h"
#include "core/Text.h"
#include "notify/Notifier.h"
#include "notify/notifyFile.h"
#include "notify/notifyMail.h"
#include "notify/notifyNtfy.h"
#include "notify/notifySrvMgr.h"
#include "notify/notifyTwitter.h"
#include "notify/notifyWebhook.h"

Receiver::Receiver() = default;
Receiver::~Receiver() = default;

std::string Receiver::setAddress(char* rest) {
    // An address line with nothing behind "adr" keeps the earlier channel.
    if (!rest || !*rest) return "";
    std::string line = rest;  // before the tokenizer cuts it up
    char* cursor = rest;
    char* channel = nextToken(&cursor, ";");
    if (!channel) return "";
    addressLine = line;

    notifier.reset();
    // The channel gets the rest of the line behind its name, or null.
    if (equalsIgnoreCase(channel, "mail"))
        notifier = std::make_unique<notifyMail>(cursor);
    else if (equalsIgnoreCase(channel, "twitter"))
        notifier = std::make_unique<notifyTwitter>(cursor);
    else if (equalsIgnoreCase(channel, "file"))
        notifier = std::make_unique<notifyFile>(cursor);
    else if (equalsIgnoreCase(channel, "webhook"))
        notifier = std::make_unique<notifyWebhook>(cursor, name);
    else if (equalsIgnoreCase(channel, "ntfy"))
        notifier = std::make_unique<notifyNtfy>(cursor);
    // Any other name leaves no channel: the first notification then creates
    // the server-manager channel.
    return notifier ? notifier->addressFault() : "";
}

bool Receiver::notify(const Node& node, const char* text, const DeliveryHandle& delivery) {
    if (!notifier) notifier = std::make_unique<notifySrvMgr>();
    std::string fault = notifier->sendFault();
    if (!fault.empty()) {
        std::printf("receiver %s, err '%s', not sent\n", name, fault.c_str());
        return false;
    }
    return notifier->notify(node, text, delivery);
}

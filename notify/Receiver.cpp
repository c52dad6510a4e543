// Receiver: the channel factory for address lines and the hand-over of one
// notification to the receiver's channel.
#include "notify/Receiver.h"

#include <cstdio>
#include <memory>
#include <string>

#include "base/Text.h"
#include "notify/Notifier.h"
#include "notify/channels/FileChannel.h"
#include "notify/channels/MailChannel.h"
#include "notify/channels/NtfyChannel.h"
#include "notify/channels/SrvMgrChannel.h"
#include "notify/channels/TwitterChannel.h"
#include "notify/channels/WebhookChannel.h"

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
        notifier = std::make_unique<MailChannel>(cursor);
    else if (equalsIgnoreCase(channel, "twitter"))
        notifier = std::make_unique<TwitterChannel>(cursor);
    else if (equalsIgnoreCase(channel, "file"))
        notifier = std::make_unique<FileChannel>(cursor);
    else if (equalsIgnoreCase(channel, "webhook"))
        notifier = std::make_unique<WebhookChannel>(cursor, name);
    else if (equalsIgnoreCase(channel, "ntfy"))
        notifier = std::make_unique<NtfyChannel>(cursor);
    // Any other name leaves no channel: the first notification then creates
    // the server-manager channel.
    return notifier ? notifier->addressFault() : "";
}

bool Receiver::notify(const Notification& notification, const DeliveryHandle& delivery) {
    if (!notifier) notifier = std::make_unique<SrvMgrChannel>();
    std::string fault = notifier->sendFault();
    if (!fault.empty()) {
        std::printf("receiver %s, err '%s', not sent\n", name, fault.c_str());
        return false;
    }
    return notifier->notify(notification, delivery);
}

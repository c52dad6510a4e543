// Receiver: the channel factory for address lines and the hand-over of one
// notification to the receiver's channel.
#include "notify/Receiver.h"

#include <cstdio>
#include <memory>
#include <string>

#include "base/Log.h"
#include "base/Text.h"
#include "notify/Notifier.h"
#include "notify/channels/AlertmanagerChannel.h"
#include "notify/channels/ExecChannel.h"
#include "notify/channels/FileChannel.h"
#include "notify/channels/MailChannel.h"
#include "notify/channels/MqttChannel.h"
#include "notify/channels/NtfyChannel.h"
#include "notify/channels/PagerDutyChannel.h"
#include "notify/channels/SmsChannel.h"
#include "notify/channels/SrvMgrChannel.h"
#include "notify/channels/TeamsChannel.h"
#include "notify/channels/TelegramChannel.h"
#include "notify/channels/TwitterChannel.h"
#include "notify/channels/WebhookChannel.h"

namespace {

struct ChannelName {
    const char* name;
    ChannelKind kind;
};

// The channel names of address lines, compared without regard to case.
// clang-format off
constexpr ChannelName kChannelNames[] = {
    {"mail", ChannelKind::Mail},       {"twitter", ChannelKind::Twitter}, {"file", ChannelKind::File},
    {"webhook", ChannelKind::Webhook}, {"ntfy", ChannelKind::Ntfy},       {"telegram", ChannelKind::Telegram},
    {"mqtt", ChannelKind::Mqtt},       {"exec", ChannelKind::Exec},
    {"alertmanager", ChannelKind::Alertmanager}, {"pagerduty", ChannelKind::PagerDuty}, {"teams", ChannelKind::Teams},
    {"sms", ChannelKind::Sms},
};
// clang-format on

// The channel of that kind made from the rest of its address line (may be
// null); none for the server manager, which is made at the first notification.
std::unique_ptr<Notifier> makeChannel(ChannelKind kind, char* rest, const char* receiverName,
                                      const UplinksHandle& uplinks) {
    switch (kind) {
        case ChannelKind::Mail:
            return std::make_unique<MailChannel>(rest, uplinks);
        case ChannelKind::Twitter:
            return std::make_unique<TwitterChannel>(rest);
        case ChannelKind::File:
            return std::make_unique<FileChannel>(rest);
        case ChannelKind::Webhook:
            return std::make_unique<WebhookChannel>(rest, receiverName);
        case ChannelKind::Ntfy:
            return std::make_unique<NtfyChannel>(rest);
        case ChannelKind::Telegram:
            return std::make_unique<TelegramChannel>(rest, uplinks);
        case ChannelKind::Mqtt:
            return std::make_unique<MqttChannel>(rest, receiverName);
        case ChannelKind::Exec:
            return std::make_unique<ExecChannel>(rest, receiverName);
        case ChannelKind::Alertmanager:
            return std::make_unique<AlertmanagerChannel>(rest, receiverName);
        case ChannelKind::PagerDuty:
            return std::make_unique<PagerDutyChannel>(rest);
        case ChannelKind::Teams:
            return std::make_unique<TeamsChannel>(rest);
        case ChannelKind::Sms:
            return std::make_unique<SmsChannel>(rest, uplinks);
        case ChannelKind::ServerManager:
            break;
    }
    return nullptr;
}

}  // namespace

bool channelKindNamed(const char* name, ChannelKind* kind) {
    for (const ChannelName& entry : kChannelNames)
        if (equalsIgnoreCase(name, entry.name)) {
            *kind = entry.kind;
            return true;
        }
    return false;
}

const char* channelKindName(ChannelKind kind) {
    for (const ChannelName& entry : kChannelNames)
        if (entry.kind == kind) return entry.name;
    return "srvmgr";
}

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
    // Any other name leaves no channel: the first notification then creates
    // the server-manager channel.
    if (!channelKindNamed(channel, &channelKind)) channelKind = ChannelKind::ServerManager;
    // The channel gets the rest of the line behind its name, or null.
    notifier = makeChannel(channelKind, cursor, name, uplinks);
    return notifier ? notifier->addressFault() : "";
}

bool Receiver::notify(const Notification& notification, const DeliveryHandle& delivery) {
    if (!notifier) notifier = std::make_unique<SrvMgrChannel>(uplinks);
    std::string fault = notifier->sendFault();
    if (!fault.empty()) {
        logf(Log::Always, "receiver %s, err '%s', not sent\n", name, fault.c_str());
        return false;
    }
    return notifier->notify(notification, delivery);
}

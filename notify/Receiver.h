// A receiver of the configuration: its name, the address line that chose
// its channel and the channel itself, which it owns.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Records.h"
#include "base/Settings.h"
#include "notify/Notification.h"
#include "notify/Notifier.h"

// The channel an address line names; any name the table does not know
// leaves the server-manager channel, the default.
enum class ChannelKind : uint8_t {
    ServerManager,
    Mail,
    Twitter,
    File,
    Webhook,
    Ntfy,
    Telegram,
    Mqtt,
    Exec,
    Alertmanager,
    PagerDuty,
    Teams,
    Sms
};

// The kind a channel name ("mail", "FILE", ...) stands for; false for a name
// no channel has.
bool channelKindNamed(const char* name, ChannelKind* kind);
// The name of a channel kind as address lines write it ("mail", "webhook").
const char* channelKindName(ChannelKind kind);

struct Receiver {
    std::unique_ptr<Notifier> notifier;
    ChannelKind channelKind = ChannelKind::ServerManager;  // what `notifier` is, or will be when created
    char name[kNameSize] = {};
    std::string addressLine;  // the text behind "adr" that made the channel; empty for the default one
    int floodMax = 0;         // "flood;MAX;SECONDS": at most MAX hand-overs in SECONDS; 0: no guard
    int floodSeconds = 0;
    std::string discoveryPrefix;  // "discovery;PREFIX" after an MQTT receiver; empty: none
    // "allow;ID[,ID...][;shelve]": who may acknowledge from the phone through
    // this receiver's channel (Telegram user ids; for SMS phone numbers
    // beside the receiver's own); empty: nobody, no buttons.
    std::vector<std::string> allowed;
    bool allowShelve = false;  // ... and shelve for an hour
    std::string replyTopic;    // "reply;TOPIC" of an ntfy receiver: where its button publishes
    // The uplinks of the configuration this receiver belongs to: its channel
    // gets them when it is built.
    UplinksHandle uplinks = noUplinks();

    Receiver();
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Creates the channel from the rest of an address line (may be null).
    // Empty, or what is wrong with the address for the configuration error.
    std::string setAddress(char* rest);
    // Lets the channel contact its service, once its configuration is in force.
    void start() {
        if (notifier) notifier->start();
    }
    // Hands a notification to the channel, creating the default channel first;
    // the channel settles `delivery` (may be null) with the outcome.
    bool notify(const Notification& notification, const DeliveryHandle& delivery = nullptr);
};

// A test message goes the way every notification goes, through the
// receiver's own channel and the sender, but not through the outbox and
// not into the states file: it decides nothing about any alarm.
#include "daemon/TestCommand.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "base/Clock.h"
#include "cycle/Coupler.h"
#include "daemon/Entry.h"
#include "daemon/Instance.h"
#include "notify/ChannelWork.h"
#include "notify/Sender.h"

namespace {

Notification testNotification(const Coupler& coupler, const Receiver& receiver) {
    char host[256] = "?";
    gethostname(host, sizeof host - 1);
    Notification notification;
    if (coupler.sourceCount > 0) {
        notification.sourceName = coupler.sources[0].name;
        notification.sourcePassword = coupler.sources[0].pass;
    }
    notification.address = "test";
    notification.triggerTime = currentTime();
    notification.text = std::string("Zentok test message from ") + host + " to receiver " + receiver.name;
    notification.kind = NotificationKind::Info;
    return notification;
}

// Every channel settles within its own time limit (mail 60 s, HTTP 120 s,
// a command 30 s, an MQTT acknowledgement 30 s); the wait is bounded anyway.
constexpr int64_t kLongestTestMs = 150 * 1000;

bool awaitOutcome(const DeliveryHandle& delivery) {
    int64_t deadline = steadyMs() + kLongestTestMs;
    while (!delivery->settled() && steadyMs() < deadline) {
        uint64_t seen = settlementCount();
        if (!delivery->settled()) waitForSettlement(std::min(deadline, steadyMs() + 1000), seen);
    }
    return delivery->delivered();
}

}  // namespace

int sendTestMessage(const OperatorArguments& arguments, const char* programPath) {
    if (arguments.positional.size() != 1) {
        std::fprintf(stderr, "zentok test: needs one receiver name, as: zentok test shift-mail\n");
        return kOperatorUsage;
    }
    std::string config = arguments.config.empty() ? defaultConfigPath(programPath) : arguments.config;
    const std::string& name = arguments.positional[0];
    Coupler coupler;
    std::string why;
    if (!openConfiguration(config, coupler, &why)) {
        std::fprintf(stderr, "zentok test: %s\n", why.c_str());
        return kOperatorRefused;
    }
    Receiver* receiver = coupler.findReceiver(name.c_str());
    if (!receiver) {
        std::fprintf(stderr, "zentok test: no receiver '%s' in the configuration\n", name.c_str());
        return kOperatorRefused;
    }
    auto delivery = std::make_shared<Delivery>(std::string("test ") + receiver->name);
    if (!receiver->notify(testNotification(coupler, *receiver), delivery) && !delivery->settled())
        delivery->settle(false);
    bool delivered = awaitOutcome(delivery);
    sender().shutdown();
    std::printf("zentok test: receiver %s: %s\n", receiver->name, delivered ? "delivered" : "FAILED");
    return delivered ? kOperatorDone : kOperatorRefused;
}

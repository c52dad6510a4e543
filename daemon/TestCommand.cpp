// A test message goes the way every notification goes, through the
// receiver's own channel and the sender, but not through the outbox and
// not into the states file: it decides nothing about any alarm.
#include "daemon/TestCommand.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/Clock.h"
#include "base/ErrorText.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "cycle/Coupler.h"
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
constexpr int64_t kLongestTestMs = int64_t{150} * 1000;

bool awaitOutcome(const DeliveryHandle& delivery) {
    int64_t deadline = steadyMs() + kLongestTestMs;
    while (!delivery->settled() && steadyMs() < deadline) {
        uint64_t seen = settlementCount();
        if (!delivery->settled()) waitForSettlement(std::min(deadline, steadyMs() + 1000), seen);
    }
    return delivery->delivered();
}

std::string userName(uid_t uid) {
    // Only the main thread reads the user database, so its static record is ours.
    passwd* entry = getpwuid(uid);  // NOLINT(concurrency-mt-unsafe)
    return entry ? entry->pw_name : "uid " + std::to_string(uid);
}

// Root sends as the owner of the instance's directory, the service's user:
// a file receiver's new file is then the service's to append to, and a
// command runs with the service's rights. Not the service's sandbox, though,
// which the line says. False with the reason when the switch failed.
bool becomeServiceUser(const std::string& configPath, std::string* why) {
    struct stat directory {};
    bool packaged = instanceDirectory(configPath) != ".";
    if (::geteuid() != 0 || !packaged || ::stat(".", &directory) != 0 || directory.st_uid == 0) {
        if (packaged || ::geteuid() == 0)
            logf(Log::Always, "zentok test: sends as %s, not as the service does%s\n",
                 userName(::geteuid()).c_str(), ::geteuid() == 0 ? ": files it creates belong to root" : "");
        return true;
    }
    passwd* owner = getpwuid(directory.st_uid);  // NOLINT(concurrency-mt-unsafe): main thread only, as above
    gid_t group = owner ? owner->pw_gid : directory.st_gid;
    bool switched = owner ? initgroups(owner->pw_name, group) == 0 : setgroups(0, nullptr) == 0;
    switched = switched && setgid(group) == 0 && setuid(directory.st_uid) == 0;
    if (!switched) {
        *why = std::string("cannot send as the service's user ") + userName(directory.st_uid) + ": " +
               errorText(errno);
        return false;
    }
    logf(Log::Always,
         "zentok test: sends as the service's user %s, the owner of the instance's directory, "
         "outside the service's sandbox\n",
         userName(directory.st_uid).c_str());
    return true;
}

}  // namespace

int sendTestMessage(const OperatorArguments& arguments, const char* programPath) {
    if (arguments.positional.size() != 1) {
        std::fprintf(stderr, "zentok test: needs one receiver name, as: zentok test shift-mail\n");
        return kOperatorUsage;
    }
    std::string config = operatorConfigPath(arguments.config, programPath);
    const std::string& name = arguments.positional[0];
    setTestMessageRun(true);
    Coupler coupler;
    std::string why;
    // Loaded before the switch: its secrets may be readable by root alone.
    if (!openConfiguration(config, coupler, &why) || !becomeServiceUser(config, &why)) {
        std::fprintf(stderr, "zentok test: %s\n", why.c_str());
        return kOperatorRefused;
    }
    Receiver* receiver = coupler.findReceiver(name.c_str());
    if (!receiver) {
        std::fprintf(stderr, "zentok test: no receiver '%s' in the configuration\n", name.c_str());
        return kOperatorRefused;
    }
    coupler.applyLogLevel();
    receiver->start();
    auto delivery = std::make_shared<Delivery>(std::string("test ") + receiver->name);
    if (!receiver->notify(testNotification(coupler, *receiver), delivery) && !delivery->settled())
        delivery->settle(false);
    bool delivered = awaitOutcome(delivery);
    sender().shutdown();
    logf(Log::Always, "zentok test: receiver %s: %s\n", receiver->name, delivered ? "delivered" : "FAILED");
    return delivered ? kOperatorDone : kOperatorRefused;
}

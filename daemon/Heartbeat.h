// The dead-man heartbeat: a POST to a URL every period while Zentok does its
// job, and to the URL with "/fail" appended, with the reason in the body,
// while it does not (the healthchecks.io convention). A service that hears
// nothing raises the alarm when Zentok dies or hangs; "/fail" when it runs
// but cannot read its device or deliver its notices. The posts go through
// the sender, so a slow or dead service never holds up a cycle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "notify/Notifier.h"

class Coupler;
class Metrics;

// An outbox entry older than this makes Zentok unhealthy: its receiver has
// not taken it through many retries.
constexpr int64_t kHeartbeatOutboxAgeLimitSeconds = int64_t{15} * 60;

// Why Zentok is not doing its job at `now`, or empty when it is: a source
// not read successfully within three read intervals (its own or the
// coupler's, at least one second each, counted from the start at the
// earliest), or an outbox entry older than the limit that no flood guard
// holds back.
std::string healthProblem(Coupler& coupler, const Metrics& metrics, int64_t now);

// The URL a failure is posted to: "/fail" appended to the path, in front of
// a query.
std::string failUrlOf(const std::string& url);

// A stop does not wait for a post in flight: a ping is not an alarm, and a
// service that does not answer would hold the stop for the whole wait.
void abandonHeartbeatPost();

class Heartbeat {
  public:
    // An empty URL turns the heartbeat off. A change starts a new period now.
    void configure(const std::string& url, int seconds);
    // Milliseconds until the next post is due; -1 while off.
    int64_t msUntilDue() const;
    // Posts when due; says once when posts start failing and once when one
    // goes through again.
    void tick(Coupler& coupler, const Metrics& metrics);

  private:
    void noteOutcome();

    std::string url_;
    int seconds_ = 0;
    int64_t dueMs_ = 0;
    DeliveryHandle last_;
    bool lastNoted_ = true;
    std::shared_ptr<std::string> lastError_ = std::make_shared<std::string>();
    bool failing_ = false;
};

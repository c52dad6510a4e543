// Health and the heartbeat's posts.
#include "daemon/Heartbeat.h"

#include <algorithm>
#include <cstdio>

#include "base/Clock.h"
#include "base/Log.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/Metrics.h"
#include "cycle/Outbox.h"
#include "notify/HttpPost.h"
#include "notify/Sender.h"

namespace {

constexpr int kReadIntervalsOfGrace = 3;
// The sender's lane of the heartbeat: receivers' lanes all carry a "#".
constexpr const char* kHeartbeatLane = "heartbeat";

std::string sourceProblem(SourceEntry& source, int coupledInterval, const Metrics& metrics, int64_t now) {
    int interval = std::max({coupledInterval, source.readInterval, 1});
    int64_t lastRead = metrics.lastGoodRead(source.name);
    int64_t since = std::max(lastRead, metrics.startTime());
    if (now - since <= static_cast<int64_t>(kReadIntervalsOfGrace) * interval) return "";
    std::string text = "source " + std::string(source.name) + " not read ";
    return text + (lastRead ? "since " + formatDateTimeWithOffset(lastRead) : "since the start");
}

}  // namespace

std::string healthProblem(Coupler& coupler, const Metrics& metrics, int64_t now) {
    std::string problems;
    auto add = [&problems](const std::string& problem) {
        if (problem.empty()) return;
        problems += (problems.empty() ? "" : "\n") + problem;
    };
    for (int i = 0; i < coupler.sourceCount; ++i)
        add(sourceProblem(coupler.sources[i], coupler.readInterval, metrics, now));
    if (coupler.outbox) {
        int64_t nowMs = steadyMs();
        for (const OutboxEntry& entry : coupler.outbox->entries()) {
            // What a flood guard holds back waits for its summary by design.
            int64_t age = (nowMs - entry.firedMs) / 1000;
            if (entry.heldBack || age <= kHeartbeatOutboxAgeLimitSeconds) continue;
            add("a notification of node " + entry.address + " for receiver " + entry.receiver +
                " waits since " + std::to_string(age) + " s");
            break;
        }
    }
    return problems;
}

std::string failUrlOf(const std::string& url) {
    size_t query = url.find_first_of("?#");
    std::string base = url.substr(0, query);
    std::string tail = query == std::string::npos ? "" : url.substr(query);
    return base + (!base.empty() && base.back() == '/' ? "fail" : "/fail") + tail;
}

void abandonHeartbeatPost() {
    sender().abandonLane(kHeartbeatLane);
}

void Heartbeat::configure(const std::string& url, int seconds) {
    if (url == url_ && seconds == seconds_) return;
    url_ = url;
    seconds_ = seconds;
    dueMs_ = steadyMs();
    failing_ = false;
}

int64_t Heartbeat::msUntilDue() const {
    if (url_.empty() || seconds_ <= 0) return -1;
    return std::max<int64_t>(dueMs_ - steadyMs(), 0);
}

void Heartbeat::noteOutcome() {
    if (lastNoted_ || !last_ || !last_->settled()) return;
    lastNoted_ = true;
    if (last_->delivered()) {
        if (failing_) logf(Log::Always, "heartbeat '%s' answered again\n", maskUrl(url_).c_str());
        failing_ = false;
    } else {
        if (!failing_)
            logf(Log::Always, "heartbeat '%s' failing, err '%s'\n", maskUrl(url_).c_str(),
                 lastError_->c_str());
        failing_ = true;
    }
}

void Heartbeat::tick(Coupler& coupler, const Metrics& metrics) {
    noteOutcome();
    if (msUntilDue() != 0) return;
    dueMs_ = steadyMs() + static_cast<int64_t>(seconds_) * 1000;
    // A post still under way (a service that does not answer) is not joined
    // by another: its own time limit ends it.
    if (last_ && !last_->settled()) return;
    std::string problem = healthProblem(coupler, metrics, currentTime());
    HttpPostRequest request;
    request.channel = "heartbeat";
    request.url = problem.empty() ? url_ : failUrlOf(url_);
    request.headers = {"Content-Type: text/plain; charset=utf-8"};
    request.body = problem.empty() ? "ok" : problem;
    last_ = std::make_shared<Delivery>(kHeartbeatLane);
    request.delivery = last_;
    lastNoted_ = false;
    std::shared_ptr<std::string> error = std::make_shared<std::string>();
    lastError_ = error;
    request.takeFailure = [error](const std::string& text) { *error = text; };
    startHttpPost(std::move(request));
}

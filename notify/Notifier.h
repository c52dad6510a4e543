// The abstract notification channel. A receiver owns at most one.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "notify/Notification.h"

// The final outcome of one hand-over to a channel, settled once. The file
// channel settles it before notify returns; the network channels settle it
// on the sender's thread when the transfer ends, long after the dispatch
// step has returned.
class Delivery {
  public:
    enum class State { Pending, Delivered, Failed };

    Delivery() = default;
    // `lane` names the receiver, so the sender keeps its notifications in order.
    explicit Delivery(std::string lane) : lane_(std::move(lane)) {}

    // Also wakes waitForSettlement and calls the settlement listener.
    void settle(bool delivered);
    State state() const { return static_cast<State>(state_.load(std::memory_order_acquire)); }
    bool settled() const { return state() != State::Pending; }
    bool delivered() const { return state() == State::Delivered; }
    const std::string& lane() const { return lane_; }

    // A server that named when to try again (Telegram's retry_after) has
    // the channel say so before it settles the delivery as failed; 0 leaves
    // the next attempt to the outbox's own back-off.
    void setRetryAfterSeconds(int seconds) { retryAfter_.store(seconds, std::memory_order_relaxed); }
    int retryAfterSeconds() const { return retryAfter_.load(std::memory_order_relaxed); }

  private:
    std::atomic<int> state_{static_cast<int>(State::Pending)};
    std::atomic<int> retryAfter_{0};
    const std::string lane_;
};
using DeliveryHandle = std::shared_ptr<Delivery>;

// Sleeps until some delivery settles or the deadline (steady clock,
// milliseconds) passes; false at the deadline. A settlement between the
// caller's last look and this call still ends the wait at once.
bool waitForSettlement(int64_t deadlineMs, uint64_t seenSettlements);
// How many deliveries have settled so far: the caller's last look.
uint64_t settlementCount();
// Called after every settlement, on the thread that settled, so the main
// loop learns of an outcome at once (it wakes its poll); empty to remove.
// The listener must be safe to call from any thread.
void setSettlementListener(std::function<void()> listener);

class Notifier {
  public:
    virtual ~Notifier() = default;
    // True when the channel has done its work or handed it to the sender;
    // the network channels return before their transfer ends, so the
    // outcome comes later.
    bool notify(const Notification& notification) { return notify(notification, nullptr); }
    // The same; the channel settles `delivery` (may be null) with the outcome.
    // A false result leaves it for the caller to settle as failed.
    virtual bool notify(const Notification& notification, const DeliveryHandle& delivery);

    // After a crash the outbox cannot tell whether an interrupted hand-over
    // reached the channel. A channel that can look (a local file) says
    // whether this notification was delivered at or after `since`.
    virtual bool holdsDelivery(const Notification& notification, int64_t since);

    // The node's state changed (raised, acknowledged, back to normal; told
    // by `state.state`), whether or not a notice of it is sent. A channel
    // that shows each node's state keeps it; the others ignore it.
    virtual void tellState(const Notification& state) { (void)state; }

    // A channel that mirrors the active alarms into a service which forgets
    // what is not sent again (Alertmanager) says when it wants them; the
    // dispatch then hands it every alarm its receiver's groups hold active,
    // told as tellState tells them, on the main thread, at most once a cycle.
    virtual bool mirrorDue(int64_t now) const {
        (void)now;
        return false;
    }
    virtual void mirrorActive(const std::vector<Notification>& active, int64_t now) {
        (void)active;
        (void)now;
    }

    // The nodes of the receiver's groups (source, address, tag, kind) after
    // each load that started the channel or kept it, for a channel that
    // announces them under `prefix` (MQTT's Home Assistant discovery); the
    // others ignore it.
    virtual void announceNodes(const std::string& prefix, const std::vector<Notification>& nodes) {
        (void)prefix;
        (void)nodes;
    }

    // Contacts the channel's service (a broker connection, a credential
    // check). Built channels stay quiet until then, so a configuration that
    // is only checked, or that a reload refuses, reaches nobody.
    virtual void start() {}

    // Empty when the address line gave the channel what it needs; otherwise
    // what is wrong with it, for the configuration error of that line.
    virtual std::string addressFault() const;
    // Empty when the channel can send: its address and the uplink it sends
    // through hold. A start runs on with a line the check refuses, so this is
    // asked again before each hand-over.
    virtual std::string sendFault() const { return addressFault(); }
};

// Settles a delivery that may be absent.
inline void settle(const DeliveryHandle& delivery, bool delivered) {
    if (delivery) delivery->settle(delivered);
}

// The sender's lane of a delivery that may be absent (no order then).
inline std::string laneOf(const DeliveryHandle& delivery) {
    return delivery ? delivery->lane() : std::string();
}

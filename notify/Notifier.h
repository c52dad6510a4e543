// The abstract notification channel. A receiver owns at most one.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

struct Node;

// The final outcome of one hand-over to a channel, settled once. The file and
// Twitter channels settle it before notify returns; the mail and HTTP
// channels settle it from their sender thread when the transfer ends, which
// may be after the dispatch step has stopped waiting for it.
class Delivery {
  public:
    enum class State { Pending, Delivered, Failed };

    // Also wakes waitForSettlement.
    void settle(bool delivered);
    State state() const { return static_cast<State>(state_.load(std::memory_order_acquire)); }
    bool settled() const { return state() != State::Pending; }
    bool delivered() const { return state() == State::Delivered; }

  private:
    std::atomic<int> state_{static_cast<int>(State::Pending)};
};
using DeliveryHandle = std::shared_ptr<Delivery>;

// Sleeps until some delivery settles or the deadline (steady clock,
// milliseconds) passes; false at the deadline. A settlement between the
// caller's last look and this call still ends the wait at once.
bool waitForSettlement(int64_t deadlineMs, uint64_t seenSettlements);
// How many deliveries have settled so far: the caller's last look.
uint64_t settlementCount();

class Notifier {
  public:
    virtual ~Notifier() = default;
    // True when the channel has done or started its work; the mail and HTTP
    // channels return before their transfer ends, so the outcome comes later.
    bool notify(const Node& node, const char* text) { return notify(node, text, nullptr); }
    // The same; the channel settles `delivery` (may be null) with the outcome.
    // A false result leaves it for the caller to settle as failed.
    virtual bool notify(const Node& node, const char* text, const DeliveryHandle& delivery);

    // After a crash the outbox cannot tell whether an interrupted hand-over
    // reached the channel. A channel that can look (a local file) says
    // whether this notification was delivered at or after `since`.
    virtual bool holdsDelivery(const Node& node, const char* text, int64_t since);

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

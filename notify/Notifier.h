// The abstract notification channel. A receiver owns at most one.
#pragma once

#include <atomic>
#include <memory>

struct Node;

// The final outcome of one hand-over to a channel, settled once. The file and
// Twitter channels settle it before notify returns; the mail and HTTP
// channels settle it from their sender thread when the transfer ends, which
// may be after the dispatch step has stopped waiting for it.
class Delivery {
public:
    enum class State { Pending, Delivered, Failed };

    void settle(bool delivered) {
        state_.store(static_cast<int>(delivered ? State::Delivered : State::Failed), std::memory_order_release);
    }
    State state() const { return static_cast<State>(state_.load(std::memory_order_acquire)); }
    bool settled() const { return state() != State::Pending; }
    bool delivered() const { return state() == State::Delivered; }

private:
    std::atomic<int> state_{static_cast<int>(State::Pending)};
};
using DeliveryHandle = std::shared_ptr<Delivery>;

class Notifier {
public:
    virtual ~Notifier() = default;
    // True when the channel has done or started its work.
    bool notify(const Node& node, const char* text) { return notify(node, text, nullptr); }
    // The same; the channel settles `delivery` (may be null) with the outcome.
    // A false result leaves it for the caller to settle as failed.
    virtual bool notify(const Node& node, const char* text, const DeliveryHandle& delivery);
};

// Settles a delivery that may be absent.
inline void settle(const DeliveryHandle& delivery, bool delivered) {
    if (delivery) delivery->settle(delivered);
}

// The base channel does nothing; settlements wake whoever waits for them.
#include "notify/Notifier.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

std::mutex gSettlementMutex;
std::condition_variable gSettlementSignal;
uint64_t gSettlements = 0;                  // guarded by gSettlementMutex
std::function<void()> gSettlementListener;  // guarded by gSettlementMutex

}  // namespace

bool Notifier::notify(const Notification&, const DeliveryHandle&) {
    return false;
}

bool Notifier::holdsDelivery(const Notification&, int64_t) {
    return false;
}

std::string Notifier::addressFault() const {
    return "";
}

void Delivery::settle(bool delivered) {
    std::lock_guard<std::mutex> lock(gSettlementMutex);
    state_.store(static_cast<int>(delivered ? State::Delivered : State::Failed), std::memory_order_release);
    ++gSettlements;
    gSettlementSignal.notify_all();
    if (gSettlementListener) gSettlementListener();
}

uint64_t settlementCount() {
    std::lock_guard<std::mutex> lock(gSettlementMutex);
    return gSettlements;
}

bool waitForSettlement(int64_t deadlineMs, uint64_t seenSettlements) {
    using namespace std::chrono;
    steady_clock::time_point deadline{milliseconds(deadlineMs)};
    std::unique_lock<std::mutex> lock(gSettlementMutex);
    return gSettlementSignal.wait_until(lock, deadline, [&] { return gSettlements != seenSettlements; });
}

void setSettlementListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(gSettlementMutex);
    gSettlementListener = std::move(listener);
}

// The base channel does nothing; settlements wake the dispatch step.
#include "notify/Notifier.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// Never destroyed: a sender that outlived its wait may settle while the process exits.
std::mutex& settlementMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::condition_variable& settlementSignal() {
    static auto* signal = new std::condition_variable;
    return *signal;
}
uint64_t gSettlements = 0;  // guarded by settlementMutex()

}  // namespace

bool Notifier::notify(const Node&, const char*, const DeliveryHandle&) {
    return false;
}

bool Notifier::holdsDelivery(const Node&, const char*, int64_t) {
    return false;
}

std::string Notifier::addressFault() const {
    return "";
}

void Delivery::settle(bool delivered) {
    std::lock_guard<std::mutex> lock(settlementMutex());
    state_.store(static_cast<int>(delivered ? State::Delivered : State::Failed), std::memory_order_release);
    ++gSettlements;
    settlementSignal().notify_all();
}

uint64_t settlementCount() {
    std::lock_guard<std::mutex> lock(settlementMutex());
    return gSettlements;
}

bool waitForSettlement(int64_t deadlineMs, uint64_t seenSettlements) {
    using namespace std::chrono;
    steady_clock::time_point deadline{milliseconds(deadlineMs)};
    std::unique_lock<std::mutex> lock(settlementMutex());
    return settlementSignal().wait_until(lock, deadline, [&] { return gSettlements != seenSettlements; });
}

// The sender's thread drives libcurl's multi interface: it starts queued
// transfers while there is room and their lane is free, performs, collects
// what ended and sleeps in curl_multi_poll until a socket, a libcurl timer, a
// descriptor or timer of the attached work, or a new hand-over
// (curl_multi_wakeup) needs it. The attached work's descriptors ride on the
// same poll as libcurl's extra descriptors.
#include "notify/Sender.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace {

// libcurl's own timers shorten the poll; this only bounds how late an end
// request is seen should a wake-up be lost.
constexpr int kLongestPollMs = 1000;

// The TLS library keeps state per thread and frees it when the thread ends,
// as long as the library has not been torn down by then. It registers its
// own exit handler at its global init; a handler registered after that runs
// before it, so the sender's thread ends while the library still stands.
void endTheThreadBeforeTheTlsLibrary() {
    static const bool registered = [] {
        curl_global_init(CURL_GLOBAL_ALL);
        std::atexit([] { sender().shutdown(); });
        return true;
    }();
    (void)registered;
}

}  // namespace

Sender::~Sender() {
    shutdown();
}

bool Sender::startThread() {
    if (thread_.joinable()) return true;
    endTheThreadBeforeTheTlsLibrary();
    multi_ = curl_multi_init();
    if (!multi_) return false;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        curl_multi_cleanup(multi_);
        multi_ = nullptr;
        return false;
    }
    return true;
}

bool Sender::submit(const std::string& lane, std::unique_ptr<Transfer> transfer) {
    if (!transfer) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (refusing_) return false;
    }
    std::lock_guard<std::mutex> threadLock(threadMutex_);
    if (!startThread()) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(Queued{lane, std::move(transfer)});
    }
    curl_multi_wakeup(multi_);
    return true;
}

bool Sender::attach(std::shared_ptr<LoopWork> work) {
    if (!work) return false;
    std::lock_guard<std::mutex> threadLock(threadMutex_);
    if (!startThread()) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work_.push_back(std::move(work));
    }
    curl_multi_wakeup(multi_);
    return true;
}

bool Sender::wake() {
    std::lock_guard<std::mutex> threadLock(threadMutex_);
    if (!startThread()) return false;
    curl_multi_wakeup(multi_);
    return true;
}

bool Sender::wakeRunning() {
    std::lock_guard<std::mutex> threadLock(threadMutex_);
    if (!thread_.joinable()) return false;
    curl_multi_wakeup(multi_);
    return true;
}

int Sender::workPending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int open = 0;
    for (const auto& work : work_) open += work->open();
    return open;
}

int Sender::pendingLocked() const {
    return static_cast<int>(queue_.size() + running_.size());
}

int Sender::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pendingLocked();
}

bool Sender::waitIdle(int64_t deadlineMs) {
    std::chrono::steady_clock::time_point deadline{std::chrono::milliseconds(deadlineMs)};
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_until(lock, deadline, [this] { return pendingLocked() == 0; });
}

void Sender::dropQueued() {
    std::deque<Queued> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        refusing_ = true;
        dropped.swap(queue_);
        if (pendingLocked() == 0) idle_.notify_all();
    }
}

void Sender::abandonLane(const std::string& lane) {
    std::deque<Queued> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (it->lane != lane) {
                ++it;
                continue;
            }
            dropped.push_back(std::move(*it));
            it = queue_.erase(it);
        }
        abandoning_.push_back(lane);
        if (pendingLocked() == 0) idle_.notify_all();
    }
    if (!wakeRunning()) {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoning_.clear();
    }
}

void Sender::abandonAskedLanes() {
    std::vector<CURL*> handles;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Running& running : running_)
            if (running.handle &&
                std::find(abandoning_.begin(), abandoning_.end(), running.lane) != abandoning_.end())
                handles.push_back(running.handle);
        abandoning_.clear();
    }
    for (CURL* handle : handles) {
        curl_multi_remove_handle(multi_, handle);
        removeRunning(handle);  // the transfer goes; its delivery stays open
    }
}

void Sender::shutdown() {
    std::lock_guard<std::mutex> threadLock(threadMutex_);
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
        }
        curl_multi_wakeup(multi_);
        thread_.join();
        curl_multi_cleanup(multi_);
        multi_ = nullptr;
    }
    std::deque<Queued> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(queue_);
    abandoning_.clear();
    ending_ = false;
    refusing_ = false;
    idle_.notify_all();
}

int Sender::peakRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_;
}

void Sender::resetPeakRunning() {
    std::lock_guard<std::mutex> lock(mutex_);
    peak_ = 0;
}

void Sender::run() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (ending_) break;
        }
        abandonAskedLanes();
        startQueued();
        int stillRunning = 0;
        curl_multi_perform(multi_, &stillRunning);
        // A transfer that ended made room: the next ones start at once.
        if (collectFinished()) continue;
        pollAndServe();
    }
    abandonRunning();
    std::vector<std::shared_ptr<LoopWork>> work;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work = work_;
    }
    // The work stays attached: a later hand-over starts a fresh thread for it.
    for (const auto& each : work) each->loopEnding();
}

void Sender::pollAndServe() {
    std::vector<std::shared_ptr<LoopWork>> work;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work = work_;
    }
    std::vector<curl_waitfd> fds;
    std::vector<size_t> firsts;
    int timeoutMs = kLongestPollMs;
    for (const auto& each : work) {
        firsts.push_back(fds.size());
        timeoutMs = std::min(timeoutMs, std::max(0, each->prepare(&fds, kLongestPollMs)));
    }
    for (curl_waitfd& fd : fds) fd.revents = 0;
    curl_multi_poll(multi_, fds.data(), static_cast<unsigned>(fds.size()), timeoutMs, nullptr);
    std::vector<std::shared_ptr<LoopWork>> over;
    for (size_t i = 0; i < work.size(); ++i)
        if (!work[i]->service(fds.data() + firsts[i])) over.push_back(work[i]);
    if (over.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& each : over) work_.erase(std::remove(work_.begin(), work_.end(), each), work_.end());
}

bool Sender::laneBusy(const std::string& lane) const {
    if (lane.empty()) return false;
    return std::any_of(running_.begin(), running_.end(),
                       [&](const Running& running) { return running.lane == lane; });
}

bool Sender::takeStartable(Running* taken) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ending_ || static_cast<int>(running_.size()) >= kMaxRunning) return false;
    // A receiver's later notification waits behind its earlier one, while
    // other receivers' notifications go past it.
    auto next =
        std::find_if(queue_.begin(), queue_.end(), [&](const Queued& q) { return !laneBusy(q.lane); });
    if (next == queue_.end()) return false;
    taken->lane = next->lane;
    taken->transfer = std::move(next->transfer);
    queue_.erase(next);
    // Listed as running before it starts, so the sender is never idle in between.
    running_.push_back(Running{taken->lane, nullptr, nullptr});
    peak_ = std::max(peak_, static_cast<int>(running_.size()));
    return true;
}

void Sender::startQueued() {
    Running next;
    while (takeStartable(&next)) {
        CURL* handle = next.transfer->start();
        bool added = handle && curl_multi_add_handle(multi_, handle) == CURLM_OK;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Running& slot = running_.back();  // only this thread adds or removes entries
            slot.transfer = std::move(next.transfer);
            slot.handle = handle;
        }
        if (!added) conclude(handle, CURLE_FAILED_INIT);
    }
}

bool Sender::collectFinished() {
    bool any = false;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* handle = message->easy_handle;
        CURLcode result = message->data.result;
        curl_multi_remove_handle(multi_, handle);
        conclude(handle, result);
        any = true;
    }
    return any;
}

void Sender::conclude(CURL* handle, CURLcode result) {
    Transfer* transfer = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Running& running : running_)
            if (running.handle == handle) transfer = running.transfer.get();
    }
    if (!transfer) return;
    // The transfer settles its delivery before it leaves the list, so a
    // caller that finds the sender idle has every outcome to look at.
    if (handle && transfer->finish(result)) {
        if (curl_multi_add_handle(multi_, handle) == CURLM_OK) return;
        transfer->finish(CURLE_FAILED_INIT);
    } else if (!handle) {
        transfer->finish(result);
    }
    removeRunning(handle);
}

void Sender::removeRunning(CURL* handle) {
    std::unique_ptr<Transfer> over;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(running_.begin(), running_.end(),
                           [&](const Running& running) { return running.handle == handle; });
    if (it == running_.end()) return;
    over = std::move(it->transfer);
    running_.erase(it);
    if (pendingLocked() == 0) idle_.notify_all();
}

void Sender::abandonRunning() {
    std::vector<Running> abandoned;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned.swap(running_);
    }
    for (Running& running : abandoned)
        if (running.handle) curl_multi_remove_handle(multi_, running.handle);
    abandoned.clear();  // the transfers go; their deliveries stay open
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.notify_all();
}

Sender& sender() {
    static Sender instance;
    return instance;
}

// The thread-handle table, its bounded wait and the wait for the senders
// still running when the program ends. std::thread has no timed
// join, so each worker marks its own completion and the wait joins the
// finished threads and detaches the ones still running at the deadline.
#include "core/ThreadTable.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/Clock.h"

struct WorkerState {
    std::thread thread;
    bool done = false;  // guarded by completionMutex()

    ~WorkerState() {
        // The last reference may be dropped by the worker itself after a wait
        // gave up on it; a thread object must never be destroyed joinable.
        if (thread.joinable()) thread.detach();
    }
};

namespace {

// Never destroyed: detached workers may still signal while the process exits.
std::mutex& completionMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::condition_variable& completionSignal() {
    static auto* signal = new std::condition_variable;
    return *signal;
}

std::vector<ThreadHandle>& table() {
    static std::vector<ThreadHandle> handles;
    return handles;
}

int gWaitLimitMs = kThreadWaitMs;
std::atomic<int> gRunning{0};
// The latest moment by which a thread started so far must have ended by its
// own limit; guarded by completionMutex().
std::chrono::steady_clock::time_point gLatestEnd{};

void markDone(WorkerState& state) {
    std::lock_guard<std::mutex> lock(completionMutex());
    state.done = true;
    gRunning--;
    completionSignal().notify_all();
}

void extendLatestEnd(long limitMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs > 0 ? limitMs : 0);
    std::lock_guard<std::mutex> lock(completionMutex());
    if (end > gLatestEnd) gLatestEnd = end;
}

}  // namespace

ThreadHandle startThread(std::function<void()> body, long limitMs) {
    auto state = std::make_shared<WorkerState>();
    extendLatestEnd(limitMs);
    gRunning++;
    try {
        state->thread = std::thread([state, body = std::move(body)]() mutable {
            body();
            body = nullptr;  // release what the job owns before reporting completion
            markDone(*state);
        });
    } catch (const std::system_error&) {
        gRunning--;
        return nullptr;
    }
    return state;
}

void addThreadHandle(ThreadHandle handle) {
    if (!handle) return;
    auto& handles = table();
    if (static_cast<int>(handles.size()) >= kThreadSlots) {
        if (handle->thread.joinable()) handle->thread.detach();  // not recorded, not waited for
        return;
    }
    handles.push_back(std::move(handle));
}

void waitThreads() {
    waitThreadsUntil(steadyMs() + gWaitLimitMs);
}

int threadWaitLimitMs() {
    return gWaitLimitMs;
}

void waitThreadsUntil(int64_t deadlineMs) {
    auto& handles = table();
    std::chrono::steady_clock::time_point deadline{std::chrono::milliseconds(deadlineMs)};
    for (auto& handle : handles) {
        bool finished;
        {
            std::unique_lock<std::mutex> lock(completionMutex());
            finished = completionSignal().wait_until(lock, deadline, [&] { return handle->done; });
        }
        if (finished) {
            if (handle->thread.joinable()) handle->thread.join();
        } else if (handle->thread.joinable()) {
            handle->thread.detach();  // left to finish on its own
        }
    }
    handles.clear();
}

int runningThreadCount() {
    return gRunning.load();
}

void waitForRunningThreads() {
    std::unique_lock<std::mutex> lock(completionMutex());
    auto deadline = gLatestEnd + std::chrono::milliseconds(kThreadExitMarginMs);
    completionSignal().wait_until(lock, deadline, [] { return gRunning.load() == 0; });
}

int threadHandleCount() {
    return static_cast<int>(table().size());
}

void setThreadWaitLimitForTesting(int milliseconds) {
    gWaitLimitMs = milliseconds > 0 ? milliseconds : kThreadWaitMs;
}

// The process-wide table of worker threads started in the current phase of a
// cycle (the mail and HTTP senders). Only the main thread
// registers, waits and clears.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

struct WorkerState;
using ThreadHandle = std::shared_ptr<WorkerState>;

constexpr int kThreadSlots = 1000;
constexpr int kThreadWaitMs = 10000;

// Starts a thread running `body`. Returns an empty handle when the thread
// cannot be started. The body owns whatever it uses: a thread still running
// when a wait gives up is left to finish on its own. `limitMs` is the longest
// the body may run (a sender's own transfer limit); waitForRunningThreads
// covers the thread up to then.
ThreadHandle startThread(std::function<void()> body, long limitMs = 0);

// Records a started thread; when all slots are taken it is not recorded and
// not waited for.
void addThreadHandle(ThreadHandle handle);

// Waits for all recorded threads, at most kThreadWaitMs in total, then empties the table.
void waitThreads();
// The same with a deadline of its own (steady clock, milliseconds).
void waitThreadsUntil(int64_t deadlineMs);
// The common limit of waitThreads in milliseconds.
int threadWaitLimitMs();

// Worker threads started by startThread that have not finished yet, recorded or not.
int runningThreadCount();

// Before the program ends: waits until every thread started by startThread
// has finished, but no longer than the latest end of their own limits plus
// kThreadExitMarginMs, so each sender either completes or prints its failure.
void waitForRunningThreads();

// Time a sender needs beyond its transfer limit to report and clean up.
constexpr int kThreadExitMarginMs = 2000;

// Number of recorded handles (for tests).
int threadHandleCount();

// Shortens the common deadline of waitThreads (tests only); 0 restores the default.
void setThreadWaitLimitForTesting(int milliseconds);

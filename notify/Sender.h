// The sender: one thread through which every notification leaves. It runs
// the network transfers of the channels (mail, server manager, webhook,
// ntfy, Twitter) on one libcurl multi handle and drives, on the same poll,
// the MQTT connections and the command channel's programs, so neither the
// read cycle nor another receiver ever waits for a slow or silent peer, and
// a backlog of notifications never becomes a storm of threads.
#pragma once

#include <curl/curl.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "notify/LoopWork.h"

// One transfer handed to the sender. It owns its easy handle and everything
// the handle points at, so a reload that destroys the channel cannot pull
// anything from under it; the sender destroys it when it is over.
class Transfer {
  public:
    virtual ~Transfer() = default;
    // On the sender's thread, when the transfer's turn comes: the easy handle
    // with every option set (its own time limits among them), or null when
    // it cannot be sent (then finish follows at once with CURLE_FAILED_INIT).
    virtual CURL* start() = 0;
    // On the sender's thread, when libcurl is done with the handle: settles
    // the delivery and prints the failure line. True when the transfer has
    // prepared a further request on the same handle (a status post behind
    // its credential check), which the sender then runs at once.
    virtual bool finish(CURLcode result) = 0;
};

class Sender {
  public:
    // At most this many transfers run at once; one receiver has at most one
    // running, so its notifications arrive in the order they were decided.
    static constexpr int kMaxRunning = 8;

    Sender() = default;
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Queues a transfer behind those of its lane (the receiver it belongs
    // to; an empty lane keeps no order). Starts the thread on first use.
    // False when the sender takes nothing new (stopping) or no thread could
    // be started: the transfer is dropped and its delivery left open.
    bool submit(const std::string& lane, std::unique_ptr<Transfer> transfer);

    // Drives `work` on the sender's thread from its next turn until its
    // service says it is over. Starts the thread on first use; false when
    // none could be started.
    bool attach(std::shared_ptr<LoopWork> work);
    // Lets the sender's thread look at its work again at once (any thread),
    // starting it again after a shutdown. False when no thread could be started.
    bool wake();

    // Transfers queued or running.
    int pending() const;
    // Hand-overs of the attached work not yet settled.
    int workPending() const;
    // Sleeps until nothing is queued or running, or until the deadline
    // (steady clock, ms); true when the sender is idle.
    bool waitIdle(int64_t deadlineMs);

    // A stop: the queued transfers are dropped at once (their deliveries
    // stay open, so the outbox keeps them) and nothing new is taken until
    // shutdown; those running go on.
    void dropQueued();
    // Drops the transfers of `lane`, queued or running, as if never handed
    // over (their deliveries stay open), for what a stop need not wait for.
    void abandonLane(const std::string& lane);
    // Ends the thread. A transfer still running is abandoned, its delivery
    // left open. Afterwards the sender takes transfers again and starts a
    // fresh thread for them.
    void shutdown();

    // The most transfers that ran at once since the last reset (tests).
    int peakRunning() const;
    void resetPeakRunning();

  private:
    struct Running {
        std::string lane;
        std::unique_ptr<Transfer> transfer;
        CURL* handle = nullptr;
    };
    struct Queued {
        std::string lane;
        std::unique_ptr<Transfer> transfer;
    };

    void run();
    bool startThread();  // under threadMutex_
    bool wakeRunning();
    // One poll over the transfers and the attached work, then the work's turn.
    void pollAndServe();
    // Moves queued transfers whose lane is free into the multi handle while
    // there is room. Called on the sender's thread.
    void startQueued();
    // The next queued transfer that may start now, taken out of the queue
    // and listed as running; false when none may.
    bool takeStartable(Running* taken);
    bool laneBusy(const std::string& lane) const;
    // True when some transfer ended.
    bool collectFinished();
    // Lets the transfer of `handle` conclude; it is over unless it asks to go on.
    void conclude(CURL* handle, CURLcode result);
    void removeRunning(CURL* handle);
    void abandonRunning();
    // Ends the running transfers of the lanes abandonLane named. Called on the sender's thread.
    void abandonAskedLanes();
    int pendingLocked() const;

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::deque<Queued> queue_;                     // guarded by mutex_
    std::vector<Running> running_;                 // guarded by mutex_; changed on the sender's thread only
    bool refusing_ = false;                        // guarded by mutex_
    std::vector<std::string> abandoning_;          // guarded by mutex_
    bool ending_ = false;                          // guarded by mutex_
    int peak_ = 0;                                 // guarded by mutex_
    std::vector<std::shared_ptr<LoopWork>> work_;  // guarded by mutex_
    CURLM* multi_ = nullptr;                       // set before the thread starts, cleaned up after it ended
    std::mutex threadMutex_;                       // held while the thread starts or ends, and for a wake-up
    std::thread thread_;                           // guarded by threadMutex_
};

// The process's sender.
Sender& sender();

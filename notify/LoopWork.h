// Work the sender's thread drives beside the transfers: descriptors on its
// poll and timers as the poll's time-out. Every call but those of its
// Ticket and open() comes on the sender's thread.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <vector>

class LoopWork {
  public:
    // Counts one hand-over of the work (a publish, a program run) while it
    // lives, so the end of a run waits for it as for a transfer; moving it
    // hands the count on.
    class Ticket {
      public:
        explicit Ticket(std::atomic<int>* count) : count_(count) { count_->fetch_add(1); }
        ~Ticket() {
            if (count_) count_->fetch_sub(1);
        }
        Ticket(Ticket&& other) noexcept : count_(other.count_) { other.count_ = nullptr; }
        Ticket& operator=(Ticket&& other) noexcept {
            if (this != &other) {
                if (count_) count_->fetch_sub(1);
                count_ = other.count_;
                other.count_ = nullptr;
            }
            return *this;
        }
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

      private:
        std::atomic<int>* count_;
    };

    virtual ~LoopWork() = default;
    // Before the poll: appends the descriptors to watch and returns how long
    // the poll may sleep for this work's timers (ms; at most `longestMs`).
    virtual int prepare(std::vector<curl_waitfd>* fds, int longestMs) = 0;
    // After the poll: `fds` points at the entries prepare appended, their
    // revents filled in. True while the work goes on; false lets it go.
    virtual bool service(const curl_waitfd* fds) = 0;
    // The loop ends (a shutdown): what the work does with its last chance.
    virtual void loopEnding() {}

    Ticket ticket() { return Ticket(&open_); }
    // Hand-overs under way; any thread.
    int open() const { return open_.load(); }

  private:
    std::atomic<int> open_{0};
};

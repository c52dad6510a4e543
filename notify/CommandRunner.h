// Runs the command channel's programs on the sender's thread, beside its
// transfers. Each receiver is a lane: its programs run one after the other in
// the order handed over; lanes run side by side.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "notify/CommandRun.h"
#include "notify/Sender.h"

class CommandRunner : public LoopWork, public std::enable_shared_from_this<CommandRunner> {
  public:
    // Called on the sender's thread when the program has ended.
    using Done = std::function<void(const CommandOutcome&)>;

    // Queues the run behind the earlier ones of its lane. False when the
    // sender has no thread to run it on: then `done` is not called.
    bool submit(const std::string& lane, CommandRequest request, Done done);

    int prepare(std::vector<curl_waitfd>* fds, int longestMs) override;
    bool service(const curl_waitfd* fds) override;
    // The sender ends: a program still running is killed with its group,
    // those waiting are not started; each delivery fails, for the outbox to
    // keep.
    void loopEnding() override;

  private:
    struct Job {
        CommandRequest request;
        Done done;
        Ticket work;  // counted until `done` has settled the delivery
    };
    struct Lane {
        std::deque<Job> jobs;                     // the first is the one running
        std::unique_ptr<CommandProcess> process;  // of the first job, once started
    };

    void takeSubmitted();
    // Starts the lane's first program; a program that cannot start ends at once.
    void startNext(Lane& lane);
    void conclude(Lane& lane, const CommandOutcome& outcome);

    std::mutex mutex_;
    std::vector<std::pair<std::string, Job>> submitted_;  // guarded by mutex_
    bool attached_ = false;                               // guarded by mutex_
    std::map<std::string, Lane> lanes_;                   // the sender's thread's
};

// The process's runner.
CommandRunner& commandRunner();

// Runs the command channel's programs off the dispatch thread. Each receiver
// is a lane: its programs run one after the other in the order handed over,
// on a thread that lives while the lane has work; lanes run side by side.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "notify/ChannelWork.h"
#include "notify/CommandRun.h"

class CommandRunner {
  public:
    // Called on the lane's thread when the program has ended.
    using Done = std::function<void(const CommandOutcome&)>;

    // Queues the run behind the earlier ones of its lane. False when no
    // thread could be started: then `done` is not called.
    bool submit(const std::string& lane, CommandRequest request, Done done);

  private:
    struct Job {
        CommandRequest request;
        Done done;
        ChannelWork work;  // counted until `done` has settled the delivery
    };

    void drain(const std::string& lane);
    std::optional<Job> takeNext(const std::string& lane);

    std::mutex mutex_;
    std::map<std::string, std::deque<Job>> lanes_;  // a lane is listed while its thread runs
};

// The process's runner; it outlives every lane thread.
CommandRunner& commandRunner();

// Command runs as work of the sender's thread. A program may run for its
// whole time limit; driven by descriptors on the sender's poll it holds up
// neither the read cycle, the transfers, nor the other receivers.
#include "notify/CommandRunner.h"

#include <cerrno>
#include <utility>

bool CommandRunner::submit(const std::string& lane, CommandRequest request, Done done) {
    bool attach = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        submitted_.emplace_back(lane, Job{std::move(request), std::move(done), ticket()});
        attach = !attached_;
        attached_ = true;
    }
    bool running = attach ? sender().attach(shared_from_this()) : sender().wake();
    if (running) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    if (attach) attached_ = false;
    if (!submitted_.empty()) submitted_.pop_back();
    return false;
}

void CommandRunner::takeSubmitted() {
    std::vector<std::pair<std::string, Job>> taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        taken.swap(submitted_);
    }
    for (auto& entry : taken) lanes_[entry.first].jobs.push_back(std::move(entry.second));
}

void CommandRunner::startNext(Lane& lane) {
    while (!lane.jobs.empty() && !lane.process) {
        CommandOutcome notStarted;
        lane.process = CommandProcess::start(lane.jobs.front().request, &notStarted);
        if (!lane.process) conclude(lane, notStarted);
    }
}

void CommandRunner::conclude(Lane& lane, const CommandOutcome& outcome) {
    Job job = std::move(lane.jobs.front());
    lane.jobs.pop_front();
    lane.process.reset();
    if (job.done) job.done(outcome);
}

int CommandRunner::prepare(std::vector<curl_waitfd>* fds, int longestMs) {
    takeSubmitted();
    int timeoutMs = longestMs;
    for (auto& entry : lanes_) {
        startNext(entry.second);
        if (entry.second.process)
            timeoutMs = std::min(timeoutMs, entry.second.process->prepare(fds, longestMs));
    }
    return timeoutMs;
}

bool CommandRunner::service(const curl_waitfd* fds) {
    // The lanes in the order prepare walked them, each with its entries.
    for (auto it = lanes_.begin(); it != lanes_.end();) {
        Lane& lane = it->second;
        if (lane.process) {
            const curl_waitfd* own = fds;
            fds += CommandProcess::kWatched;
            if (lane.process->service(own)) {
                CommandOutcome outcome = lane.process->outcome();
                conclude(lane, outcome);
            }
        }
        it = lane.jobs.empty() ? lanes_.erase(it) : std::next(it);
    }
    return true;
}

void CommandRunner::loopEnding() {
    takeSubmitted();
    for (auto& entry : lanes_) {
        Lane& lane = entry.second;
        if (lane.process) {
            lane.process->stop();
            CommandOutcome outcome = lane.process->outcome();
            conclude(lane, outcome);
        }
        // Nothing starts while the sender ends; the outbox keeps these.
        CommandOutcome notStarted;
        notStarted.code = ECANCELED;
        while (!lane.jobs.empty()) conclude(lane, notStarted);
    }
    lanes_.clear();
}

CommandRunner& commandRunner() {
    static const std::shared_ptr<CommandRunner> instance = std::make_shared<CommandRunner>();
    return *instance;
}

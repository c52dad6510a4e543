// Lane threads for the command channel. A program may run for its whole time
// limit; on a thread of its own it holds up neither the read cycle nor the
// other receivers.
#include "notify/CommandRunner.h"

#include <system_error>
#include <thread>
#include <utility>

bool CommandRunner::submit(const std::string& lane, CommandRequest request, Done done) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = lanes_.find(lane);
    if (found != lanes_.end()) {
        found->second.push_back(Job{std::move(request), std::move(done), ChannelWork()});
        return true;
    }
    std::deque<Job>& queue = lanes_[lane];
    queue.push_back(Job{std::move(request), std::move(done), ChannelWork()});
    try {
        std::thread([this, lane] { drain(lane); }).detach();
    } catch (const std::system_error&) {
        lanes_.erase(lane);
        return false;
    }
    return true;
}

std::optional<CommandRunner::Job> CommandRunner::takeNext(const std::string& lane) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = lanes_.find(lane);
    if (found == lanes_.end()) return std::nullopt;
    if (found->second.empty()) {
        lanes_.erase(found);  // a later submit starts a fresh thread
        return std::nullopt;
    }
    std::optional<Job> job(std::move(found->second.front()));
    found->second.pop_front();
    return job;
}

void CommandRunner::drain(const std::string& lane) {
    while (std::optional<Job> job = takeNext(lane)) {
        CommandOutcome outcome = runCommand(job->request);
        if (job->done) job->done(outcome);
    }
}

CommandRunner& commandRunner() {
    // Never destroyed: a lane thread may still run while the process ends.
    static CommandRunner* instance = new CommandRunner;
    return *instance;
}

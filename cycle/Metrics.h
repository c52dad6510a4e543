// Metrics in the Prometheus text exposition format, written as a file for
// node-exporter's textfile collector, so the hardened unit opens no port.
// The counters run from the start of the process (a restart resets them,
// as Prometheus expects of a counter) and survive reloads of the
// configuration: the run keeps one Metrics beside its outbox.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>

class Coupler;
struct Node;

// The states a node's alarm can be in, in the order the metrics list them.
// A new state is one more name here and one more case in nodeAlarmState.
constexpr const char* kNodeAlarmStates[] = {"normal", "pending", "active", "acknowledged", "shelved"};
// The state of `node`, one of kNodeAlarmStates.
const char* nodeAlarmState(const Node& node);

// How a hand-over to a receiver ended: delivered; failed and to be tried
// again; failed for the last time (no retries, or the retry window closed).
enum class NotificationOutcome { Delivered, Failed, GivenUp };

// A label value as the exposition format writes it: backslash, double
// quote and line feed escaped.
std::string escapeLabelValue(const std::string& value);

class Metrics {
  public:
    explicit Metrics(std::string version = "");

    void countNotification(const std::string& receiver, const std::string& channel,
                           NotificationOutcome outcome);
    // After each cycle of `coupler`, which took `seconds`: counts its reads
    // and notes each source's last good read at `now`.
    void countCycle(Coupler& coupler, double seconds, int64_t now);
    // When the last cycle read `source` successfully; 0 when never.
    int64_t lastGoodRead(const std::string& source) const;
    // When counting began (the start of the process).
    int64_t startTime() const { return startTime_; }
    // The last settled hand-over to each receiver since the start, by name.
    struct LastHandOver {
        int64_t at = 0;
        NotificationOutcome outcome = NotificationOutcome::Delivered;
    };
    const std::map<std::string, LastHandOver>& lastHandOvers() const { return lastHandOvers_; }

    // The exposition text. Into `steady` goes the same without the samples
    // that move at every cycle (counts of cycles and reads, times, ages,
    // durations), so a change of anything else can be told apart.
    std::string render(const Coupler& coupler, std::string* steady = nullptr) const;

    // Writes the coupler's metrics file when something other than the
    // every-cycle samples changed or 60 s have passed since the last write;
    // at most once per call and once per second. Temporary file and rename, so the collector
    // never reads half a file; a failure is said once, and once when
    // writing works again.
    void publish(const Coupler& coupler, int64_t now);
    // At the end of the run: writes the file once more, with zentok_up 0, so
    // a stopped (or removed) Zentok does not look like one that runs.
    void publishStopped(const Coupler& coupler, int64_t now);

  private:
    struct SourceCounts {
        uint64_t reads = 0;
        uint64_t errors = 0;
        int64_t lastGoodRead = 0;
        bool reachable = false;
    };
    using NotificationKey = std::tuple<std::string, std::string, NotificationOutcome>;

    std::string version_;
    int64_t startTime_ = 0;
    uint64_t cycles_ = 0;
    double lastCycleSeconds_ = 0.0;
    std::map<std::string, SourceCounts> sources_;
    std::map<NotificationKey, uint64_t> notifications_;
    std::map<std::string, LastHandOver> lastHandOvers_;
    std::map<std::string, int64_t> lastDelivered_;  // by receiver: the last delivery, wall clock
    std::string writtenPath_;
    std::string writtenSteady_;
    int64_t writtenAt_ = 0;
    int64_t renderedAt_ = 0;
    bool failing_ = false;
    bool up_ = true;
};

// The run: one per process. It owns what outlives a load (the outbox with
// the flood guard's windows, the states file's memory, the metrics, the
// alarm journal and the heartbeat) and the configuration in force, which a reload replaces.
#pragma once

#include <cstdint>
#include <memory>

#include "cycle/StatusPage.h"
#include "daemon/Heartbeat.h"

class AlarmJournal;
class Coupler;
class Metrics;
class Outbox;
struct StatesMemory;

class Run {
  public:
    explicit Run(std::shared_ptr<Outbox> outbox);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Puts an accepted load in force: its log level applies, receivers whose
    // channel is unchanged keep the running one and the others start, and
    // the outbox, the metrics and the journal pass to it. The configuration
    // it replaces goes with the channels it had left.
    void apply(std::unique_ptr<Coupler> config);

    bool hasConfig() const { return config_ != nullptr; }
    Coupler& config() { return *config_; }
    Outbox& outbox() { return *outbox_; }
    Metrics& metrics() { return *metrics_; }
    Heartbeat& heartbeat() { return heartbeat_; }
    StatusPage& statusPage() { return statusPage_; }

    // Counts a cycle that began at `startedMs` (steady clock) and publishes
    // the metrics and the status page.
    void cycleDone(int64_t startedMs);

  private:
    std::shared_ptr<Outbox> outbox_;
    std::shared_ptr<Metrics> metrics_;
    std::shared_ptr<AlarmJournal> journal_;
    std::shared_ptr<StatesMemory> states_;
    Heartbeat heartbeat_;
    StatusPage statusPage_;
    std::unique_ptr<Coupler> config_;
};

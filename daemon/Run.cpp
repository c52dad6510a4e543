// The run: the configuration in force and what outlives its loads.
#include "daemon/Run.h"

#include <utility>

#include "base/Clock.h"
#include "cycle/AlarmJournal.h"
#include "cycle/Coupler.h"
#include "cycle/Metrics.h"
#include "cycle/Outbox.h"
#include "cycle/StatesFile.h"

#ifndef ZENTOK_VERSION
#define ZENTOK_VERSION "unknown"
#endif

Run::Run(std::shared_ptr<Outbox> outbox)
    : outbox_(std::move(outbox)),
      metrics_(std::make_shared<Metrics>(ZENTOK_VERSION)),
      journal_(std::make_shared<AlarmJournal>()),
      states_(std::make_shared<StatesMemory>()) {}

Run::~Run() = default;

void Run::apply(std::unique_ptr<Coupler> config) {
    config->applyLogLevel();
    if (config_)
        config->takeChannelsAndStart(*config_);
    else
        config->startChannels();
    config_ = std::move(config);
    Coupler& coupler = *config_;
    // Only a loaded configuration decides which receivers are gone.
    if (coupler.cfgStat.size >= 0)
        coupler.adoptOutbox(outbox_);
    else
        coupler.outbox = outbox_;
    coupler.metrics = metrics_;
    coupler.journal = journal_;
    coupler.statesMemory = states_;
    journal_->configure(coupler.journalName, coupler.journalMaxBytes, coupler.journalKeep);
    // A heartbeat belongs to a service that runs on: a single or trigger
    // run would only wait at its end for the post.
    bool runsOn = coupler.runMode == RunMode::Cycle;
    heartbeat_.configure(runsOn ? coupler.heartbeatUrl : "", coupler.heartbeatSeconds);
}

void Run::cycleDone(int64_t startedMs) {
    int64_t now = currentTime();
    metrics_->countCycle(*config_, static_cast<double>(steadyMs() - startedMs) / 1000.0, now);
    metrics_->publish(*config_, now);
    statusPage_.publish(*config_, *metrics_, now);
}

// Hand-overs that a channel runs outside the sender (a program of the command
// channel, a publish to an MQTT broker) and that have not ended yet, so the
// end of a run waits for them as it waits for the sender's transfers.
#pragma once

// Counts one hand-over while it lives; moving it hands the count on.
class ChannelWork {
  public:
    ChannelWork();
    ~ChannelWork();
    ChannelWork(ChannelWork&& other) noexcept;
    ChannelWork& operator=(ChannelWork&& other) noexcept;
    ChannelWork(const ChannelWork&) = delete;
    ChannelWork& operator=(const ChannelWork&) = delete;

  private:
    bool counted_ = true;
};

// How many such hand-overs are under way.
int channelWorkPending();

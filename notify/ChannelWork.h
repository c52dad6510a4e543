// Hand-overs that a channel makes to work the sender drives beside its
// transfers (a program of the command channel, a publish to an MQTT broker)
// and that have not ended yet, so the end of a run waits for them as it
// waits for the sender's transfers.
#pragma once

// How many such hand-overs are under way.
int channelWorkPending();

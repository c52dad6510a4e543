// The count lives with the work itself; the sender adds it up.
#include "notify/ChannelWork.h"

#include "notify/Sender.h"

int channelWorkPending() {
    return sender().workPending();
}

// The process-wide count of channel work outside the sender.
#include "notify/ChannelWork.h"

#include <atomic>

namespace {

std::atomic<int> gPending{0};

}  // namespace

ChannelWork::ChannelWork() {
    gPending.fetch_add(1);
}

ChannelWork::~ChannelWork() {
    if (counted_) gPending.fetch_sub(1);
}

ChannelWork::ChannelWork(ChannelWork&& other) noexcept : counted_(other.counted_) {
    other.counted_ = false;
}

ChannelWork& ChannelWork::operator=(ChannelWork&& other) noexcept {
    if (this != &other) {
        if (counted_) gPending.fetch_sub(1);
        counted_ = other.counted_;
        other.counted_ = false;
    }
    return *this;
}

int channelWorkPending() {
    return gPending.load();
}

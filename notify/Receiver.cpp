// Receiver: its channel and the channel factory (placeholder).
#include "core/Coupler.h"
#include "notify/Notifier.h"

Receiver::Receiver() = default;
Receiver::~Receiver() = default;

void Receiver::setAddress(char*) {}

bool Receiver::notify(const Node& node, const char* text) {
    return notifier ? notifier->notify(node, text) : false;
}

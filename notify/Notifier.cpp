// The base channel does nothing.
#include "notify/Notifier.h"

bool Notifier::notify(const Node&, const char*, const DeliveryHandle&) { return false; }

// The "Twitter" channel (placeholder with the base behaviour).
#pragma once

#include "notify/Notifier.h"

class notifyTwitter : public Notifier {
public:
    explicit notifyTwitter(char* rest);
};

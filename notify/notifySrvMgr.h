// The server-manager channel (placeholder with the base behaviour).
#pragma once

#include "notify/Notifier.h"

class notifySrvMgr : public Notifier {
public:
    notifySrvMgr() = default;
};

// The "Mail" channel (placeholder with the base behaviour).
#pragma once

#include "notify/Notifier.h"

class notifyMail : public Notifier {
public:
    explicit notifyMail(char* rest);
};

// The "File" channel (placeholder with the base behaviour).
#pragma once

#include "notify/Notifier.h"

class notifyFile : public Notifier {
public:
    explicit notifyFile(char* rest);
};

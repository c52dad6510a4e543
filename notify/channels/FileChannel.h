// The "file" channel: appends one semicolon-separated line per notification
// to a file whose name is a strftime pattern (one file per day, month, ...).
#pragma once

#include "base/Records.h"
#include "notify/Notifier.h"

class FileChannel : public Notifier {
  public:
    // `rest` is the whole rest of the address line, semicolons included; null
    // gives an empty pattern.
    explicit FileChannel(char* rest);
    // False, with a failure line, when the file cannot be opened or written.
    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;
    // Looks for this notification's line, stamped at or after `since`, in the
    // file the pattern names for `since` and for now.
    bool holdsDelivery(const Notification& notification, int64_t since) override;

    char namePattern[kPathSize] = {};
};

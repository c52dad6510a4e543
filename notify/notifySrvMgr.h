// The server-manager channel, the default channel of a receiver: posts each
// notification as form fields to "<srvmgrHost>/pollapi.php" on a worker thread.
#pragma once

#include "notify/Notifier.h"

class notifySrvMgr : public Notifier {
  public:
    notifySrvMgr() = default;
    // False only for a node without source; the post itself runs on a worker.
    using Notifier::notify;
    bool notify(const Node& node, const char* text, const DeliveryHandle& delivery) override;
};

// Transfer limits of a post, so a server that never answers cannot keep a
// worker alive for ever. Tests shorten them; 0 restores the defaults.
void setSrvMgrTimeoutsForTesting(long connectMs, long totalMs);

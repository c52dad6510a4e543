// The server-manager channel, the default channel of a receiver: posts each
// notification as form fields to "<srvmgrHost>/pollapi.php" on a worker thread.
#pragma once

#include <cstddef>
#include <string>

#include "base/Settings.h"
#include "notify/Notifier.h"

class SrvMgrChannel : public Notifier {
  public:
    // Posts to the server manager of `uplinks`.
    explicit SrvMgrChannel(UplinksHandle uplinks = noUplinks()) : uplinks_(std::move(uplinks)) {}
    // Always true: the post runs on the sender, which settles the delivery.
    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;
    std::string sendFault() const override;

  private:
    UplinksHandle uplinks_;
};

// Empty when the server-manager host can be posted to; otherwise the
// configuration error of a host without http:// or https://.
std::string srvMgrHostFault(const Uplinks& uplinks);

// What of the server manager's reply goes to the console: at most
// kReplyShownLines lines and kReplyShownBytes bytes, control characters shown
// as "?", and a note of the size when more came. Empty for an empty reply.
constexpr size_t kReplyShownLines = 2;
constexpr size_t kReplyShownBytes = 200;
std::string shownReply(const std::string& head, size_t totalBytes);

// Transfer limits of a post, so a server that never answers cannot keep a
// worker alive for ever. Tests shorten them; 0 restores the defaults.
void setSrvMgrTimeoutsForTesting(long connectMs, long totalMs);

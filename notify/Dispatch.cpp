// The dispatch step after each read cycle: every node that fired and has not
// been sent is expanded once and handed to each receiver of its group.
#include "core/Coupler.h"
#include "core/ThreadTable.h"

void Coupler::dispatchNotifications() {
    notified = false;
    // One expansion per node, shared by all its receivers. The channels take
    // what they need before notify returns, so the buffer is reused.
    char text[kTextSize];
    for (int i = 0; i < nodeCount; ++i) {
        Node& node = nodes[i];
        if (!node.active || node.sent) continue;
        formatMessage(text, kTextSize, &node);
        for (int j = 0; j < linkCount; ++j) {
            Link& link = links[j];
            if (!node.dir || link.dir != node.dir || !link.receiver) continue;
            link.receiver->notify(node, text);  // failures are the channel's to report
            notified = true;
        }
        // Each firing is dispatched once, whatever the channels made of it.
        node.sent = true;
    }
    // Bounded wait for the mail and server-manager workers started above.
    waitThreads();
}

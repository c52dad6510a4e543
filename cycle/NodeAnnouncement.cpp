// The node list of a receiver's groups, as its channel announces it.
#include "cycle/NodeAnnouncement.h"

#include <vector>

#include "cycle/Coupler.h"
#include "notify/Notification.h"

namespace {

bool linkedTo(const Coupler& coupler, const Receiver& receiver, const Node& node) {
    for (int j = 0; j < coupler.linkCount; ++j)
        if (coupler.links[j].receiver == &receiver && node.dir && coupler.links[j].dir == node.dir)
            return true;
    return false;
}

}  // namespace

void announceNodes(Coupler& coupler) {
    for (int r = 0; r < coupler.receiverCount; ++r) {
        Receiver& receiver = coupler.receivers[r];
        if (!receiver.notifier) continue;
        // Without the line (any more) nothing is announced, and what an
        // earlier load announced is withdrawn.
        std::vector<Notification> nodes;
        for (int i = 0; i < coupler.nodeCount && !receiver.discoveryPrefix.empty(); ++i) {
            const Node& node = coupler.nodes[i];
            if (!linkedTo(coupler, receiver, node)) continue;
            Notification announced;
            announced.sourceName = node.source ? node.source->name : "";
            announced.address = node.address;
            announced.tag = node.tag;
            announced.kind = node.info ? NotificationKind::Info : NotificationKind::Message;
            nodes.push_back(announced);
        }
        receiver.notifier->announceNodes(receiver.discoveryPrefix, nodes);
    }
}

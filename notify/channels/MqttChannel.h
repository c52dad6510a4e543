// The "mqtt" channel: publishes each notification to a topic of an MQTT
// broker, where HMIs, Node-RED, Home Assistant and historians read it, and
// keeps a retained state per node and an online/offline status below it.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "notify/MqttAddress.h"
#include "notify/Notifier.h"

class MqttConnection;

class MqttChannel : public Notifier {
  public:
    // `rest` is the address line behind "mqtt" (may be null):
    // "mqtt[s]://HOST[:PORT]/TOPIC[;USER;PASSWORD]". A usable address opens
    // the connection when the channel is started.
    MqttChannel(char* rest, const char* receiverName);
    ~MqttChannel() override;
    MqttChannel(const MqttChannel&) = delete;
    MqttChannel& operator=(const MqttChannel&) = delete;

    // Publishes the notice, whose PUBACK settles `delivery`. False only
    // without a connection.
    using Notifier::notify;
    bool notify(const Notification& notification, const DeliveryHandle& delivery) override;
    // Keeps the node's retained state, apart from the notices: a notice the
    // outbox retries late must not put back a state the node has left.
    void tellState(const Notification& state) override;
    // Home Assistant discovery: a retained config message per node for a
    // binary_sensor (its alarm state) and a sensor (its value), both read
    // from the node's retained state; a node announced before and missing
    // now is withdrawn with an empty retained message.
    void announceNodes(const std::string& prefix, const std::vector<Notification>& nodes) override;
    std::string addressFault() const override { return fault_; }
    std::string sendFault() const override;
    void start() override;

    const MqttAddress& address() const { return address_; }
    MqttConnection* connection() const { return connection_.get(); }

  private:
    MqttAddress address_;
    std::string fault_;
    std::string receiver_;
    std::shared_ptr<MqttConnection> connection_;
    std::set<std::string> announced_;  // the discovery topics holding a config now
};

// The discovery messages of one node under `prefix`, as topic and payload
// pairs: PREFIX/binary_sensor/OBJECT/config and PREFIX/sensor/OBJECT/config.
std::vector<std::pair<std::string, std::string>> discoveryMessages(const std::string& prefix,
                                                                   const MqttAddress& address,
                                                                   const Notification& node);

// "TOPIC/state/SOURCE/NODE": the retained state of one node.
std::string mqttStateTopic(const std::string& topic, const Notification& notification);

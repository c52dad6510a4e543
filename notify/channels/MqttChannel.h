// The "mqtt" channel: publishes each notification to a topic of an MQTT
// broker, where HMIs, Node-RED, Home Assistant and historians read it, and
// keeps a retained state per node and an online/offline status below it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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
};

// "TOPIC/state/SOURCE/NODE": the retained state of one node.
std::string mqttStateTopic(const std::string& topic, const Notification& notification);

// One receiver's connection to an MQTT broker, kept open across cycles and
// driven by the sender's thread: it publishes what the channel
// hands over at QoS 1 and settles each delivery when the broker's PUBACK
// arrives. It announces itself with a retained "online" on the status topic
// and leaves "offline" there as its last will; a lost connection is tried
// again with a bounded back-off, and what was not acknowledged by then fails.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "notify/MqttAddress.h"
#include "notify/Notifier.h"

class MqttConnection {
  public:
    // The connection of this receiver and address: the one that is open
    // already (a reload keeps it, so subscribers see no offline and online
    // for it), or a new one the sender's thread connects at once. `receiver` names
    // the receiver in the console lines.
    static std::shared_ptr<MqttConnection> open(const MqttAddress& address, const std::string& receiver);
    // The last holder gone, the connection closes; it leaves "offline"
    // unless another connection (a reload's, with a changed login) speaks
    // for the same status topic by now.
    ~MqttConnection();
    MqttConnection(const MqttConnection&) = delete;
    MqttConnection& operator=(const MqttConnection&) = delete;

    // Publishes at QoS 1. `delivery` (may be null) settles as delivered at
    // the PUBACK, or as failed when the broker cannot be reached, refuses, or
    // does not acknowledge in time. False when the connection is closing.
    bool publish(std::string topic, std::string payload, bool retain, DeliveryHandle delivery);

    // Makes `payload` the retained value of `topic`: published as soon as the
    // connection is up, and again after a lost connection until the broker
    // acknowledges it. A later value of the same topic replaces one not yet
    // acknowledged, so the broker ends with the newest whatever the outages.
    void keepRetained(std::string topic, std::string payload);

    // Leaves "offline" on the status topic and disconnects on the sender's
    // thread; waits for that a short while, then lets it finish alone.
    // Deliveries still open stay open, for the outbox to keep.
    void close();

    // Drops the connection without a DISCONNECT, as a crash would: the
    // broker then publishes the last will (tests).
    void breakForTesting();

    struct State;

  private:
    static std::shared_ptr<MqttConnection> start(const MqttAddress& address, const std::string& receiver);
    explicit MqttConnection(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

// How long a publish may wait for its PUBACK (30 s); tests shorten it, 0 restores it.
void setMqttAckLimitForTesting(int ms);
// Trusts the certificates in `caFile` instead of the system's store (tests only).
void setMqttCaFileForTesting(const std::string& caFile);

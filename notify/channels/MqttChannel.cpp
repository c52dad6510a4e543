// The MQTT channel builds the topics and messages on the dispatch thread and
// hands them to the receiver's connection, which publishes them.
#include "notify/channels/MqttChannel.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/Clock.h"
#include "base/Log.h"
#include "base/Text.h"
#include "notify/MqttConnection.h"
#include "notify/NoticeFields.h"
#include "notify/NoticeJson.h"
#include "notify/Utf8Text.h"

MqttChannel::MqttChannel(char* rest, const char* receiverName) : receiver_(receiverName ? receiverName : "") {
    char* cursor = rest;
    char* url = rest ? nextToken(&cursor, ";") : nullptr;
    char* user = url && cursor ? nextToken(&cursor, ";") : nullptr;
    char* password = user && cursor ? nextToken(&cursor, ";") : nullptr;
    fault_ = parseMqttAddress(url, user, password, &address_);
}

void MqttChannel::start() {
    if (fault_.empty() && !connection_) connection_ = MqttConnection::open(address_, receiver_);
}

MqttChannel::~MqttChannel() = default;

std::string MqttChannel::sendFault() const {
    if (!fault_.empty()) return fault_;
    return connection_ ? "" : "no sender thread";
}

std::string mqttStateTopic(const std::string& topic, const Notification& notification) {
    return topic + "/state/" + topicLevel(notification.sourceName) + "/" + topicLevel(notification.label());
}

bool MqttChannel::notify(const Notification& notification, const DeliveryHandle& delivery) {
    if (!connection_) return false;
    logf(Log::Always, "notifyMqtt::notify, broker %s, topic %s, source %s, node %s, %s\n",
         address_.brokerText().c_str(), address_.topic.c_str(), notification.sourceName.c_str(),
         notification.label().c_str(), consoleText(notification).c_str());
    std::string notice = webhookBody(notification, receiver_.c_str(), currentTime());
    return connection_->publish(address_.topic, std::move(notice), false, delivery);
}

namespace {

// An id Home Assistant takes for an object_id and a unique_id: letters,
// digits, '_' and '-' only.
std::string discoveryId(const std::string& text) {
    std::string id;
    for (char c : text) id += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    return id;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> discoveryMessages(const std::string& prefix,
                                                                   const MqttAddress& address,
                                                                   const Notification& node) {
    // The coupler's topic names the instance: two couplers on one broker
    // announce their nodes apart.
    std::string instance = discoveryId("zentok_" + address.topic);
    std::string object = discoveryId(instance + "_" + node.sourceName + "_" + node.address);
    NoticeJson device{{"identifiers", NoticeJson::array({instance})},
                      {"name", jsonText("Zentok " + address.topic)},
                      {"manufacturer", "Zentok"}};
    NoticeJson common{{"state_topic", jsonText(mqttStateTopic(address.topic, node))},
                      {"availability_topic", jsonText(address.topic + "/status")},
                      {"payload_available", "online"},
                      {"payload_not_available", "offline"},
                      {"device", device}};
    NoticeJson alarm = common;
    alarm["name"] = jsonText(nodeLabel(node) + " alarm");
    alarm["unique_id"] = object + "_alarm";
    alarm["device_class"] = "problem";
    alarm["value_template"] = "{{ value_json.state }}";
    alarm["payload_on"] = "active";
    alarm["payload_off"] = "normal";
    alarm["json_attributes_topic"] = common["state_topic"];
    NoticeJson value = common;
    value["name"] = jsonText(nodeLabel(node) + " value");
    value["unique_id"] = object + "_value";
    value["value_template"] = "{{ value_json.value }}";
    return {{prefix + "/binary_sensor/" + object + "/config", dumped(alarm)},
            {prefix + "/sensor/" + object + "/config", dumped(value)}};
}

void MqttChannel::announceNodes(const std::string& prefix, const std::vector<Notification>& nodes) {
    if (!connection_ || (nodes.empty() && announced_.empty())) return;
    std::set<std::string> now;
    for (const Notification& node : nodes)
        for (auto& message : discoveryMessages(prefix, address_, node)) {
            now.insert(message.first);
            connection_->keepRetained(message.first, std::move(message.second));
        }
    // An empty retained message removes the entity from Home Assistant.
    for (const std::string& topic : announced_)
        if (!now.count(topic)) connection_->keepRetained(topic, "");
    announced_ = std::move(now);
}

void MqttChannel::tellState(const Notification& state) {
    if (connection_) connection_->keepRetained(mqttStateTopic(address_.topic, state), nodeStateBody(state));
}

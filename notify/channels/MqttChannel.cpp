// The MQTT channel builds the topics and messages on the dispatch thread and
// hands them to the receiver's connection, which publishes them.
#include "notify/channels/MqttChannel.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/Clock.h"
#include "base/Log.h"
#include "base/Text.h"
#include "notify/MqttConnection.h"
#include "notify/NoticeFields.h"
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

void MqttChannel::tellState(const Notification& state) {
    if (connection_) connection_->keepRetained(mqttStateTopic(address_.topic, state), nodeStateBody(state));
}

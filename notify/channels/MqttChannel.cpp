// The MQTT channel builds the topics and messages on the dispatch thread and
// hands them to the receiver's connection, which publishes them.
#include "notify/channels/MqttChannel.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "base/Clock.h"
#include "base/Records.h"
#include "base/Settings.h"
#include "base/Text.h"
#include "notify/MqttConnection.h"
#include "notify/NoticeFields.h"
#include "notify/Utf8Text.h"

namespace {

nlohmann::json textOrNull(const std::string& text) {
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

// The value as a whole number, rounded as the webhook's "%.0lf" rounds it;
// JSON has no NaN or infinity.
nlohmann::json wholeNumberJson(double value) {
    if (!std::isfinite(value)) return nullptr;
    double whole = std::nearbyint(value);
    if (std::fabs(whole) < 9.0e15) return static_cast<int64_t>(whole);
    return whole;
}

}  // namespace

MqttChannel::MqttChannel(char* rest, const char* receiverName) : receiver_(receiverName ? receiverName : "") {
    char* cursor = rest;
    char* url = rest ? nextToken(&cursor, ";") : nullptr;
    char* user = url && cursor ? nextToken(&cursor, ";") : nullptr;
    char* password = user && cursor ? nextToken(&cursor, ";") : nullptr;
    fault_ = parseMqttAddress(url, user, password, &address_);
    if (fault_.empty() && !channelsOffline()) connection_ = MqttConnection::open(address_, receiver_);
}

MqttChannel::~MqttChannel() {
    if (connection_) connection_->close();
}

std::string MqttChannel::sendFault() const {
    if (!fault_.empty()) return fault_;
    return connection_ ? "" : "no connection thread";
}

std::string mqttStateTopic(const std::string& topic, const Node& node) {
    return topic + "/state/" + topicLevel(node.source ? node.source->name : "") + "/" +
           topicLevel(node.address);
}

std::string mqttStateMessage(const Node& node, const char* text) {
    nlohmann::json state = {{"state", "active"},
                            {"value", wholeNumberJson(node.value)},
                            {"since", node.triggerTime > 0 ? textOrNull(isoLocalTime(node.triggerTime))
                                                           : nlohmann::json(nullptr)},
                            {"source", node.source ? node.source->name : ""},
                            {"node", node.address},
                            {"text", text ? text : ""}};
    return state.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool MqttChannel::notify(const Node& node, const char* text, const DeliveryHandle& delivery) {
    if (!node.source || !connection_) return false;
    if (!text) text = "";
    std::printf("notifyMqtt::notify, broker %s, topic %s, source %s, node %s, text '%s'\n",
                address_.brokerText().c_str(), address_.topic.c_str(), node.source->name, node.address, text);
    // The state first: a subscriber that sees the notice finds the state set.
    connection_->publish(mqttStateTopic(address_.topic, node), mqttStateMessage(node, text), true, nullptr);
    std::string notice = webhookBody(node, text, receiver_.c_str(), currentTime());
    return connection_->publish(address_.topic, std::move(notice), false, delivery);
}

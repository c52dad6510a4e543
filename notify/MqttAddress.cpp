// Reading an MQTT receiver's URL. The topic is taken as written (no
// percent-decoding): MQTT topics are plain UTF-8 text.
#include "notify/MqttAddress.h"

#include <cstring>

#include "notify/UrlScheme.h"
#include "notify/Utf8Text.h"

namespace {

constexpr size_t kMaxTopicBytes = 65535;  // MQTT 3.1.1, 1.5.3: a UTF-8 string's two-byte length

bool readPort(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    *port = value;
    return value >= 1 && value <= 65535;
}

std::string topicFault(const std::string& topic) {
    if (topic.empty()) return "mqtt url needs a topic: mqtt://host:1883/TOPIC";
    if (topic.size() > kMaxTopicBytes) return "mqtt topic is longer than 65535 bytes";
    if (topic.find_first_of("+#") != std::string::npos)
        return "mqtt topic '" + topic + "' holds a wildcard (+ or #), which a publish may not";
    if (validUtf8(topic.data(), topic.size()) != topic) return "mqtt topic is not valid UTF-8";
    return "";
}

}  // namespace

std::string MqttAddress::brokerText() const {
    return std::string(tls ? "mqtts://" : "mqtt://") + host + ":" + std::to_string(port);
}

std::string parseMqttAddress(const char* url, const char* user, const char* password, MqttAddress* address) {
    std::string text = url ? url : "";
    if (!hasScheme(text, {"mqtt", "mqtts"})) return "mqtt url '" + text + "' needs mqtt:// or mqtts://";
    size_t authority = text.find("://") + 3;
    address->tls = hasScheme(text, {"mqtts"});
    size_t slash = text.find('/', authority);
    std::string hostPort =
        text.substr(authority, slash == std::string::npos ? std::string::npos : slash - authority);
    if (hostPort.find('@') != std::string::npos)
        return "mqtt url has a login in it: give user and password as fields of their own";
    size_t colon = hostPort.rfind(':');
    address->port = address->tls ? 8883 : 1883;
    address->host = hostPort.substr(0, colon);
    if (colon != std::string::npos && !readPort(hostPort.substr(colon + 1), &address->port))
        return "mqtt url '" + text + "' has no port number 1 to 65535";
    if (address->host.empty()) return "mqtt url '" + text + "' names no broker";
    address->topic = slash == std::string::npos ? "" : text.substr(slash + 1);
    address->user = user ? user : "";
    address->password = password ? password : "";
    return topicFault(address->topic);
}

std::string topicLevel(const std::string& name) {
    std::string level = validUtf8(name.data(), name.size());
    for (char& c : level)
        if (c == '/' || c == '+' || c == '#') c = '_';
    return level.empty() ? "_" : level;
}

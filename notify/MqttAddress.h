// The address of an MQTT receiver: "mqtt://HOST[:PORT]/TOPIC" (plain TCP,
// port 1883) or "mqtts://HOST[:PORT]/TOPIC" (TLS checked against the system's
// CA store, port 8883), then optionally the user and the password as fields
// of their own, as the smtp uplink has them.
#pragma once

#include <string>

struct MqttAddress {
    std::string host;
    int port = 0;
    bool tls = false;
    std::string topic;  // the notices' topic; the state and status topics lie below it
    std::string user;
    std::string password;

    // "mqtt://host:port" for the console: no topic, no login.
    std::string brokerText() const;
};

// Reads the URL and the login fields (either may be null). Empty when the
// address can be used; otherwise what is wrong with it, never the password.
// A topic may not hold the wildcards "+" and "#", nor exceed the 65,535 bytes
// an MQTT string can carry.
std::string parseMqttAddress(const char* url, const char* user, const char* password, MqttAddress* address);

// One topic level made of a name: "/", "+" and "#" become "_" so the name
// neither adds levels nor acts as a wildcard; valid UTF-8; never empty.
std::string topicLevel(const std::string& name);

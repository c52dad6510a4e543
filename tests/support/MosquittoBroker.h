// Debian's mosquitto broker on 127.0.0.1 for the MQTT tests, with a
// generated configuration, and mosquitto_sub as the subscriber that checks
// what arrived. Both stop by themselves after their lifetime.
#pragma once

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

class MosquittoBroker {
  public:
    // Picks a free port; start() may be called again after stop() on the same port.
    MosquittoBroker() : port_(freeLoopbackPort()) {}

    // Anonymous clients on plain TCP; a second start keeps the first's setup.
    bool start();
    // Only the user "press7" with the password `password` is let in.
    void requireLogin(const std::string& password) { password_ = password; }
    // A TLS listener too, on tlsPort(), with a certificate for 127.0.0.1
    // made now; caFile() is the certificate to trust. False when openssl fails.
    bool addTlsListener();
    void stop() { process_.stop(); }
    int port() const { return port_; }
    int tlsPort() const { return tlsPort_; }
    std::string caFile() const { return dir_.file("cert.pem"); }
    std::string url(const std::string& topic) const {
        return "mqtt://127.0.0.1:" + std::to_string(port_) + "/" + topic;
    }
    std::string log() const;

  private:
    TempDir dir_;
    Process process_;
    int port_;
    int tlsPort_ = 0;
    std::string password_;
};

// mosquitto_sub -v on the given topics: one "topic payload" line per message.
class MqttSubscriber {
  public:
    // Ready once a probe published to `probeTopic` has come back.
    MqttSubscriber(int port, const std::vector<std::string>& topics, const std::string& probeTopic,
                   const std::vector<std::string>& options = {});

    bool ready() const { return ready_; }
    std::string received() const;
    bool waitFor(const std::string& needle, int timeoutMs) const;

  private:
    TempDir dir_;
    Process process_;
    bool ready_ = false;
};

// The retained messages of `topics` as a subscriber that comes now sees them.
std::string retainedMessages(int port, const std::vector<std::string>& topics);

}  // namespace testsupport

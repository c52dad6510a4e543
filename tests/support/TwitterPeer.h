// The local HTTPS stand-in for the Twitter API (tests/peers/twitter): a fresh
// certificate for 127.0.0.1, the peer process, and its request record.
#pragma once

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

// One request as the peer saw it.
struct PeerRequest {
    std::string method;
    std::string path;
    std::string query;
    std::string body;
    std::string headers;  // "Name: value" lines
    bool valid = false;   // the OAuth signature held under oauthlib
    bool replay = false;  // nonce and timestamp were used before
    int status = 0;

    // The value of a header, empty when it is missing (name case-insensitive).
    std::string header(const std::string& name) const;
};

class TwitterPeer {
  public:
    // Makes a certificate for 127.0.0.1 and starts the peer, which checks
    // signatures with the given secrets.
    bool start(const std::string& consumerSecret, const std::string& tokenSecret);

    // Points every client made from now on at this peer.
    void useForClients() const;
    static void restoreClients();

    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string caFile() const { return dir_.file("cert.pem"); }
    std::string recordFile() const { return dir_.file("requests.txt"); }
    std::string log() const { return readFile(dir_.file("peer.log")); }
    int port() const { return port_; }

    std::vector<PeerRequest> requests() const;
    // The latest request; an empty record when there is none.
    PeerRequest last() const;

  private:
    TempDir dir_;
    Process process_;
    int port_ = 0;
};

}  // namespace testsupport

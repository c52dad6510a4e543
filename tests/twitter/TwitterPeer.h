// The local HTTPS stand-in for the Twitter API (tests/peers/twitter): a fresh
// certificate for 127.0.0.1, the peer process, and its request record.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "twitter/TwitterClient.h"

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
    std::string header(const std::string& name) const {
        std::istringstream lines(headers);
        std::string line;
        while (std::getline(lines, line)) {
            size_t colon = line.find(": ");
            if (colon != name.size()) continue;
            bool same = true;
            for (size_t i = 0; i < colon; ++i) {
                if (tolower(static_cast<unsigned char>(line[i])) !=
                    tolower(static_cast<unsigned char>(name[i])))
                    same = false;
            }
            if (same) return line.substr(colon + 2);
        }
        return "";
    }
};

inline std::string fromHex(const std::string& hex) {
    if (hex == "-") return "";
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

class TwitterPeer {
  public:
    // Makes a certificate for 127.0.0.1 and starts the peer, which checks
    // signatures with the given secrets.
    bool start(const std::string& consumerSecret, const std::string& tokenSecret) {
        std::string command =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
            " -addext subjectAltName=IP:127.0.0.1 -keyout '" +
            dir_.file("key.pem") + "' -out '" + dir_.file("cert.pem") + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) return false;
        port_ = freeLoopbackPort();
        if (!process_.start({kPython, sourcePath("tests/peers/twitter/twitter_peer.py"), "--port",
                             std::to_string(port_), "--cert", dir_.file("cert.pem"), "--key",
                             dir_.file("key.pem"), "--record", recordFile(), "--consumer-secret",
                             consumerSecret, "--token-secret", tokenSecret, "--lifetime", "240", "--verbose"},
                            dir_.file("peer.log"))) {
            return false;
        }
        return waitForPort(port_, 10000);
    }

    // Points every client made from now on at this peer.
    void useForClients() const {
        TwitterClient::setApiBaseForTesting(hostPort());
        TwitterClient::setCaFileForTesting(caFile());
    }
    static void restoreClients() {
        TwitterClient::setApiBaseForTesting("");
        TwitterClient::setCaFileForTesting("");
    }

    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string caFile() const { return dir_.file("cert.pem"); }
    std::string recordFile() const { return dir_.file("requests.txt"); }
    std::string log() const { return readFile(dir_.file("peer.log")); }
    int port() const { return port_; }

    std::vector<PeerRequest> requests() const {
        std::vector<PeerRequest> all;
        std::ifstream in(recordFile());
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            PeerRequest r;
            std::string path, query, body, headers;
            int valid = 0, replay = 0;
            if (!(fields >> r.method >> path >> query >> body >> headers >> valid >> replay >> r.status))
                continue;
            r.path = fromHex(path);
            r.query = fromHex(query);
            r.body = fromHex(body);
            r.headers = fromHex(headers);
            r.valid = valid == 1;
            r.replay = replay == 1;
            all.push_back(r);
        }
        return all;
    }
    // The latest request; an empty record when there is none.
    PeerRequest last() const {
        auto all = requests();
        return all.empty() ? PeerRequest{} : all.back();
    }

  private:
    TempDir dir_;
    Process process_;
    int port_ = 0;
};

}  // namespace testsupport

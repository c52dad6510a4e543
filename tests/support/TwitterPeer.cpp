// The Twitter peer (see TwitterPeer.h).
#include "support/TwitterPeer.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "notify/twitter/TwitterClient.h"

namespace testsupport {

namespace {

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

std::string PeerRequest::header(const std::string& name) const {
    std::istringstream lines(headers);
    std::string line;
    while (std::getline(lines, line)) {
        size_t colon = line.find(": ");
        if (colon != std::string::npos && sameName(line.substr(0, colon), name))
            return line.substr(colon + 2);
    }
    return "";
}

bool TwitterPeer::start(const std::string& consumerSecret, const std::string& tokenSecret) {
    std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
        " -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        dir_.file("key.pem") + "' -out '" + dir_.file("cert.pem") + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return false;
    port_ = freeLoopbackPort();
    if (!process_.start({kPython, sourcePath("tests/peers/twitter/twitter_peer.py"), "--port",
                         std::to_string(port_), "--cert", dir_.file("cert.pem"), "--key",
                         dir_.file("key.pem"), "--record", recordFile(), "--consumer-secret", consumerSecret,
                         "--token-secret", tokenSecret, "--lifetime", "240", "--verbose"},
                        dir_.file("peer.log"))) {
        return false;
    }
    return waitForPort(port_, 10000);
}

void TwitterPeer::useForClients() const {
    TwitterClient::setApiBaseForTesting(hostPort());
    TwitterClient::setCaFileForTesting(caFile());
}

void TwitterPeer::restoreClients() {
    TwitterClient::setApiBaseForTesting("");
    TwitterClient::setCaFileForTesting("");
}

std::vector<PeerRequest> TwitterPeer::requests() const {
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

PeerRequest TwitterPeer::last() const {
    auto all = requests();
    return all.empty() ? PeerRequest{} : all.back();
}

}  // namespace testsupport

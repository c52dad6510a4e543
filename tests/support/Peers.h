// Peer servers on 127.0.0.1 for the integration tests: the Python peers of
// tests/peers and PHP's built-in web server. Each picks a free port, stops by
// itself after its lifetime and is killed when the object goes.
#pragma once

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

// A script of tests/peers run by Debian's Python as
// "script --port N --lifetime S options...", ready once it listens.
class PythonPeer {
  public:
    explicit PythonPeer(const std::string& script, const std::vector<std::string>& options = {},
                        int lifetimeSeconds = 240);

    bool ready() const { return ready_; }
    int port() const { return port_; }
    // The parameter text of a source that reads from this peer.
    std::string parameters() const { return "tcp:127.0.0.1:" + std::to_string(port_); }
    std::string log() const;
    void stop() { process_.stop(); }

  private:
    TempDir dir_;
    Process process_;
    int port_ = -1;
    bool ready_ = false;
};

// The peers of tests/peers/modbus.
constexpr const char* kPymodbusServer = "modbus/pymodbus_server.py";
constexpr const char* kMisbehavingModbusPeer = "modbus/misbehaving_peer.py";
// The peer of tests/peers/s7_bad_peer.py.
constexpr const char* kMisbehavingS7Peer = "s7_bad_peer.py";

// PHP's built-in web server. With a router script (a path in the source
// tree) every request goes to it, and the document root is a fresh directory
// where the recording scripts of tests/peers/srvmgr write; without one it
// serves `docRoot` as it is. `environment` ("NAME=value") reaches the scripts.
class PhpServer {
  public:
    explicit PhpServer(const std::string& router, const std::string& docRoot = "",
                       const std::vector<std::string>& environment = {});

    bool started() const { return started_; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // A file the scripts wrote into the document root; empty when there is none.
    std::string recorded(const std::string& name) const;
    std::string posts() const { return recorded("posts.jsonl"); }
    std::string log() const { return readFile(dir_.file("server.log")); }

  private:
    TempDir dir_;
    std::string docRoot_;
    int port_;
    Process process_;
    bool started_ = false;
};

// The recording server-manager script.
constexpr const char* kPollApiRecorder = "tests/peers/srvmgr/pollapi.php";

}  // namespace testsupport

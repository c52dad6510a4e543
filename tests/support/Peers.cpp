// Peer servers (see Peers.h).
#include "support/Peers.h"

namespace testsupport {

PythonPeer::PythonPeer(const std::string& script, const std::vector<std::string>& options,
                       int lifetimeSeconds)
    : port_(freeLoopbackPort()) {
    std::vector<std::string> argv{kPython,      sourcePath("tests/peers/" + script),
                                  "--port",     std::to_string(port_),
                                  "--lifetime", std::to_string(lifetimeSeconds)};
    argv.insert(argv.end(), options.begin(), options.end());
    ready_ = process_.start(argv, dir_.file("peer.log")) && waitForPort(port_, 20000);
}

std::string PythonPeer::log() const {
    return readFile(dir_.file("peer.log"));
}

PhpServer::PhpServer(const std::string& router, const std::string& docRoot,
                     const std::vector<std::string>& environment)
    : docRoot_(docRoot.empty() ? dir_.path() : docRoot), port_(freeLoopbackPort()) {
    std::vector<std::string> argv{"/usr/bin/env"};
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.insert(argv.end(), {"/usr/bin/timeout", "120", "/usr/bin/php", "-S",
                             "127.0.0.1:" + std::to_string(port_), "-t", docRoot_});
    if (!router.empty()) argv.push_back(sourcePath(router));
    started_ = process_.start(argv, dir_.file("server.log")) && waitForPort(port_, 10000);
}

std::string PhpServer::recorded(const std::string& name) const {
    std::string path = docRoot_ + "/" + name;
    return fileExists(path) ? readFile(path) : "";
}

}  // namespace testsupport

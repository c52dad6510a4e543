// The broker and subscriber helpers (see MosquittoBroker.h).
#include "support/MosquittoBroker.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace testsupport {

namespace {

constexpr const char* kLifetime = "240";

std::vector<std::string> topicOptions(const std::vector<std::string>& topics) {
    std::vector<std::string> options;
    for (const std::string& topic : topics) options.insert(options.end(), {"-t", topic});
    return options;
}

}  // namespace

bool MosquittoBroker::addTlsListener() {
    std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj /CN=zentok-test -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        dir_.file("key.pem") + "' -out '" + caFile() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return false;
    tlsPort_ = freeLoopbackPort();
    return true;
}

bool MosquittoBroker::start() {
    // Started as root, mosquitto would become the user "mosquitto", which may
    // not read the files of this directory; it stays the test's user.
    const passwd* self = getpwuid(getuid());
    std::string config = "per_listener_settings false\npersistence false\nlog_dest stderr\nlog_type all\n";
    if (self) config += std::string("user ") + self->pw_name + "\n";
    if (password_.empty()) {
        config += "allow_anonymous true\n";
    } else {
        RunResult made =
            runProgram({"/usr/bin/mosquitto_passwd", "-b", "-c", dir_.file("passwords"), "press7", password_},
                       "/", 10000);
        if (made.exitCode != 0) return false;
        config += "allow_anonymous false\npassword_file " + dir_.file("passwords") + "\n";
    }
    config += "listener " + std::to_string(port_) + " 127.0.0.1\n";
    if (tlsPort_ > 0)
        config += "listener " + std::to_string(tlsPort_) + " 127.0.0.1\ncertfile " + caFile() + "\nkeyfile " +
                  dir_.file("key.pem") + "\n";
    writeFile(dir_.file("mosquitto.conf"), config);
    return process_.start(
               {"/usr/bin/timeout", kLifetime, "/usr/sbin/mosquitto", "-c", dir_.file("mosquitto.conf")},
               dir_.file("broker.log")) &&
           waitForPort(port_, 10000) && (tlsPort_ == 0 || waitForPort(tlsPort_, 10000));
}

std::string MosquittoBroker::log() const {
    return fileExists(dir_.file("broker.log")) ? readFile(dir_.file("broker.log")) : "";
}

MqttSubscriber::MqttSubscriber(int port, const std::vector<std::string>& topics,
                               const std::string& probeTopic, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {"/usr/bin/timeout",
                                     kLifetime,
                                     "/usr/bin/mosquitto_sub",
                                     "-h",
                                     "127.0.0.1",
                                     "-p",
                                     std::to_string(port),
                                     "-v",
                                     "-q",
                                     "1",
                                     "-t",
                                     probeTopic};
    for (const std::string& option : topicOptions(topics)) argv.push_back(option);
    argv.insert(argv.end(), options.begin(), options.end());
    if (!process_.start(argv, dir_.file("received.txt"))) return;
    for (int attempt = 0; attempt < 50 && !ready_; ++attempt) {
        runProgram({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t", probeTopic,
                    "-m", "probe"},
                   "/", 5000);
        ready_ = waitFor(probeTopic + " probe", 200);
    }
}

std::string MqttSubscriber::received() const {
    return fileExists(dir_.file("received.txt")) ? readFile(dir_.file("received.txt")) : "";
}

bool MqttSubscriber::waitFor(const std::string& needle, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (received().find(needle) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string retainedMessages(int port, const std::vector<std::string>& topics) {
    std::vector<std::string> argv = {
        "/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-v",
        "--retained-only",        "-W", "2"};
    for (const std::string& option : topicOptions(topics)) argv.push_back(option);
    return runProgram(argv, "/", 10000).output;
}

}  // namespace testsupport

// Capture of standard output (see StdoutCapture.h).
#include "support/StdoutCapture.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "support/TestSupport.h"

namespace testsupport {

StdoutCapture::StdoutCapture() {
    char pattern[] = "/tmp/zentok-stdout-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) return;
    path_ = pattern;
    std::fflush(stdout);
    saved_ = dup(1);
    dup2(fd, 1);
    close(fd);
}

StdoutCapture::~StdoutCapture() {
    stop();
    if (!path_.empty()) unlink(path_.c_str());
}

std::string StdoutCapture::text() {
    if (saved_ < 0) return final_;
    std::fflush(stdout);
    return readFile(path_);
}

std::string StdoutCapture::stop() {
    if (saved_ < 0) return final_;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    final_ = readFile(path_);
    return final_;
}

bool StdoutCapture::waitFor(const std::string& needle, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (text().find(needle) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::string captured(const std::function<void()>& body) {
    StdoutCapture capture;
    body();
    return capture.stop();
}

}  // namespace testsupport

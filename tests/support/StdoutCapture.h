// What the code under test prints: standard output of the whole process,
// sender threads included, goes into a file for a while.
#pragma once

#include <functional>
#include <string>

namespace testsupport {

// Captures from construction until stop(). Assertions made while it runs
// print their failure text into the capture, so they belong after stop()
// where the text matters.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // What has been printed so far; the capture goes on.
    std::string text();
    // Restores standard output and returns everything printed; later calls
    // return the same text.
    std::string stop();
    // Waits until `needle` has been printed, at most timeoutMs.
    bool waitFor(const std::string& needle, int timeoutMs);

  private:
    std::string path_;
    int saved_ = -1;
    std::string final_;
};

// Runs `body` and returns what it printed.
std::string captured(const std::function<void()>& body);

}  // namespace testsupport

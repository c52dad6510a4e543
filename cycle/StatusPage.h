// The status page: what "zentok status" shows, as one self-contained HTML
// file that any web server the site runs can serve ("coupler;statuspage;
// PATH"); Zentok opens no port. It is written like the metrics file:
// temporary file and rename, world-readable, at most once a second and only
// when something on it changed (or a minute passed, so its time shows the
// page is alive), and once more at the end of the run, marked stopped.
#pragma once

#include <cstdint>
#include <string>

class Coupler;
class Metrics;

// The browser reloads the page this often.
constexpr int kStatusPageRefreshSeconds = 10;

// The page of `coupler` at `now`, with the last hand-overs `metrics` saw;
// `stopped` marks a page a stopped Zentok left. Without the line of its
// time, so a page that only aged can be told from one that changed.
std::string renderStatusPage(const Coupler& coupler, const Metrics& metrics, int64_t now, bool stopped);

class StatusPage {
  public:
    // Writes the coupler's status page when it changed or a minute passed;
    // a failure is said once, and once when writing works again.
    void publish(const Coupler& coupler, const Metrics& metrics, int64_t now);
    void publishStopped(const Coupler& coupler, const Metrics& metrics, int64_t now);

  private:
    std::string writtenPath_;
    std::string writtenBody_;
    int64_t writtenAt_ = 0;
    int64_t renderedAt_ = 0;
    bool failing_ = false;
    bool stopped_ = false;
};

// A Modbus TCP device inside the bench with all 65536 holding registers,
// each holding its own number (low 16 bits), answering reads of 1 to 125
// registers and counting the requests. One thread per connection, so two
// clients read side by side.
#pragma once

#include <atomic>
#include <list>
#include <mutex>
#include <thread>

class ClusterDevice {
  public:
    ClusterDevice();
    ~ClusterDevice();
    ClusterDevice(const ClusterDevice&) = delete;
    ClusterDevice& operator=(const ClusterDevice&) = delete;

    int port() const { return port_; }
    long requests() const { return requests_; }

  private:
    void serve();
    void answer(int fd);

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<long> requests_{0};
    std::thread thread_;
    std::mutex connectionsMutex_;
    std::list<std::thread> connections_;
};

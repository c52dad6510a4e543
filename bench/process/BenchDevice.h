// A Modbus TCP device inside the bench: holding registers whose values the
// bench sets while the program reads them, and a count of the reads of each,
// so the moment an alarm condition starts to hold is known to the
// millisecond.
#pragma once

#include <atomic>
#include <thread>

class BenchDevice {
  public:
    static constexpr int kRegisters = 256;  // a plant of 250 nodes reads 400001 to 400250

    BenchDevice();
    ~BenchDevice();
    BenchDevice(const BenchDevice&) = delete;
    BenchDevice& operator=(const BenchDevice&) = delete;

    int port() const { return port_; }
    // Holding register `number` (1 to kRegisters, node address 40000N).
    void set(int number, int value) { values_[number - 1] = value; }
    long reads(int number) const { return reads_[number - 1]; }
    // The value the last read of register `number` was answered with: a bench
    // that waits for it to change knows the read that saw the change.
    int served(int number) const { return served_[number - 1]; }

  private:
    void serve();
    void answer(int fd);

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> values_[kRegisters] = {};
    std::atomic<long> reads_[kRegisters] = {};
    std::atomic<int> served_[kRegisters] = {};
    std::thread thread_;
};

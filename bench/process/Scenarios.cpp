// The scenarios of the process benchmark (see Scenarios.h).
#include "Scenarios.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "BenchDevice.h"
#include "SyncCalls.h"
#include "TcpBytes.h"
#include "WatchedProcess.h"
#include "support/TestSupport.h"

#if __has_include(<modbus.h>)
#include <modbus.h>
#define HAVE_LIBMODBUS 1
#endif

using namespace testsupport;

namespace {

constexpr int kRequestBytes = 12;  // MBAP header and a read of one object
constexpr const char* kLoadMarker = "*** line ignored 'adr'\n";
const std::vector<std::string> kFiveRegisters{"400001", "400002", "400003", "400004", "400005"};

// Zentok in a fresh directory with `config` as zentok.ini beside it.
class ZentokRun {
  public:
    ZentokRun(const std::string& zentok, const std::string& config) {
        if (!config.empty()) writeFile(dir_.file("zentok.ini"), config);
        process_.start({zentok, "-i", config.empty() ? "missing.ini" : "zentok.ini"}, dir_.path());
    }
    WatchedProcess& process() { return process_; }
    const TempDir& dir() const { return dir_; }

    // Lets it start and run its first cycles, then watches it for `seconds`.
    Usage watch(int warmUpMs, int seconds) {
        process_.pump(warmUpMs);
        UsageWindow window(process_.pid());
        process_.pump(seconds * 1000);
        return stillRunning(window.end());
    }

    // A program that ended early (a wrong path, a crash) has no figures.
    Usage stillRunning(const Usage& usage) { return process_.running() ? usage : Usage{}; }

  private:
    TempDir dir_;  // outlives the process, which is stopped first
    WatchedProcess process_;
};

// A loopback listener that never accepts, its queue filled by connections of
// our own: the kernel then drops every new connection request unanswered.
class FullListener {
  public:
    FullListener() {
        listener_ = listenOnLoopback(0, &port_);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        for (int i = 0; i < 4 && listener_ >= 0; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            if (fd < 0) break;
            // Non-blocking: the request waits in the queue, accepted by no one.
            (void)connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers_.push_back(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~FullListener() {
        for (int fd : fillers_) close(fd);
        if (listener_ >= 0) close(listener_);
    }
    int port() const { return port_; }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

// A figure of /proc/PID/io: the number behind `name`; -1 when unknown.
long long procIoField(pid_t pid, const std::string& name) {
    std::string text = readFile("/proc/" + std::to_string(pid) + "/io");
    size_t at = text.find(name);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size());
}

// Private_Clean + Private_Dirty of /proc/PID/smaps_rollup: the memory the
// process holds for itself, shared libraries' untouched pages left out; NaN when unknown.
double privateKilobytes(pid_t pid) {
    std::string text = readFile("/proc/" + std::to_string(pid) + "/smaps_rollup");
    double total = 0;
    for (const char* name : {"Private_Clean:", "Private_Dirty:"}) {
        size_t at = text.find(name);
        if (at == std::string::npos) return NAN;
        total += std::atof(text.c_str() + at + std::strlen(name));
    }
    return total;
}

// A cycle every second over `config` against `device`, watched for `seconds` after a warm-up.
EverySecond watchEverySecond(ZentokRun& run, int seconds) {
    WatchedProcess& process = run.process();
    process.pump(3000);
    const std::string states = run.dir().file("zentok_states.csv");
    auto inode = [&states] {
        struct stat status {};
        return stat(states.c_str(), &status) == 0 ? status.st_ino : 0;
    };
    EverySecond figures;
    long long bytesBefore = procIoField(process.pid(), "write_bytes:");
    UsageWindow window(process.pid());
    ino_t seen = inode();
    int replaced = 0;
    // Looked at every 100 ms: the program replaces the file at most once a cycle.
    for (int slice = 0; slice < seconds * 10; ++slice) {
        process.pump(100);
        ino_t now = inode();
        if (now != seen) ++replaced;
        seen = now;
    }
    figures.privateKb = privateKilobytes(process.pid());
    figures.usage = run.stillRunning(window.end());
    long long bytesAfter = procIoField(process.pid(), "write_bytes:");
    if (figures.usage.wallSeconds > 0 && bytesBefore >= 0 && bytesAfter >= bytesBefore) {
        figures.writeBytesPerSecond =
            static_cast<double>(bytesAfter - bytesBefore) / figures.usage.wallSeconds;
        figures.statesWritesPerMinute = replaced * 60.0 / figures.usage.wallSeconds;
    }
    return figures;
}

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Requests the program sent to the device during `seconds`, and its usage.
Usage watchRequests(ZentokRun& run, int port, int warmUpMs, int seconds, long long* requests) {
    run.process().pump(warmUpMs);
    long long before = bytesAckedTowards(port);
    UsageWindow window(run.process().pid());
    run.process().pump(seconds * 1000);
    long long after = bytesAckedTowards(port);
    Usage usage = run.stillRunning(window.end());
    *requests = before >= 0 && after >= before ? (after - before) / kRequestBytes : 0;
    return usage;
}

// Reads, CPU and wall time summed over the slices of a race.
struct Tally {
    long long reads = 0;
    double cpuSeconds = 0;
    double wallSeconds = 0;

    void add(long long moreReads, double cpu, double wall) {
        reads += moreReads;
        cpuSeconds += cpu;
        wallSeconds += wall;
    }
    void add(const Tally& other) { add(other.reads, other.cpuSeconds, other.wallSeconds); }
    Throughput throughput() const {
        Throughput result;
        if (reads > 0 && wallSeconds > 0) {
            result.readsPerSecond = static_cast<double>(reads) / wallSeconds;
            result.cpuUsPerRead = cpuSeconds * 1e6 / static_cast<double>(reads);
        }
        return result;
    }
};

// libmodbus reads for `ms` on a connection of its own, closed afterwards so
// that only the program's connection is left to count.
Tally libmodbusSlice(int port, int ms) {
    Tally tally;
#ifdef HAVE_LIBMODBUS
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx) return tally;
    if (modbus_connect(ctx) == 0) {
        uint16_t value = 0;
        auto start = std::chrono::steady_clock::now();
        auto deadline = start + std::chrono::milliseconds(ms);
        double cpuStart = threadCpuSeconds();
        while (std::chrono::steady_clock::now() < deadline) {
            // The same five registers in turn, one request each, as the program reads its nodes.
            for (int address = 1; address <= 5; ++address)
                if (modbus_read_registers(ctx, address, 1, &value) == 1) ++tally.reads;
        }
        tally.cpuSeconds = threadCpuSeconds() - cpuStart;
        tally.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        modbus_close(ctx);
    }
    modbus_free(ctx);
#else
    (void)port;
    (void)ms;
#endif
    return tally;
}

}  // namespace

std::string deviceConfig(int port, int readInterval, const std::vector<std::string>& addresses, bool marker) {
    // An "adr" line outside a section is reported as ignored: the first line of every load.
    std::string config = marker ? "adr\n" : "";
    config += "coupler;runmode;cycle\ncoupler;readinterval;" + std::to_string(readInterval) +
              "\ncoupler;loglevel;1\nsource;plant\nadr;modbus;tcp:127.0.0.1:" + std::to_string(port) + "\n";
    // No 16-bit register is over 65535, so no alarm ever changes: the
    // simulator's float and signed registers swing through the whole range.
    for (const std::string& address : addresses) {
        bool offline = address == "!OFFLINE";
        config += "node;a;" + address + ";" + (offline ? "plant lost" : "value {{*}}") + ";alarm;" +
                  (offline ? "N" : "O:65535") + "\n";
    }
    return config;
}

Usage unreachableDevice(const std::string& zentok, int seconds) {
    FullListener device;
    ZentokRun run(zentok, deviceConfig(device.port(), 10, {"!OFFLINE", "400001"}));
    return run.watch(1000, seconds);
}

Usage slowDevice(const std::string& zentok, int port, int seconds, double* readsPerSecond) {
    ZentokRun run(zentok, deviceConfig(port, 0, {"400001"}));
    long long requests = 0;
    Usage usage = watchRequests(run, port, 2000, seconds, &requests);
    *readsPerSecond = usage.wallSeconds > 0 ? requests / usage.wallSeconds : NAN;
    return usage;
}

Usage idleBetweenCycles(const std::string& zentok, int port, int seconds) {
    ZentokRun run(zentok, deviceConfig(port, 10, {"!OFFLINE", "400001"}));
    return run.watch(2000, seconds);
}

EverySecond everySecond(const std::string& zentok, int seconds) {
    BenchDevice device;  // its registers hold 0: no value and no alarm ever changes
    ZentokRun run(zentok, deviceConfig(device.port(), 1, kFiveRegisters));
    return watchEverySecond(run, seconds);
}

EverySecond fullPlant(const std::string& zentok, int seconds) {
    BenchDevice device;
    std::vector<std::string> addresses;
    for (int i = 1; i <= 200; ++i) addresses.push_back(std::to_string(400000 + i));
    std::string config = deviceConfig(device.port(), 1, addresses);
    for (int word = 201; word <= 250; ++word) {
        config += "node;a;" + std::to_string(400000 + word) + ":BITS;word;alarm;N\ntag;word" +
                  std::to_string(word) + "\n";
        for (int bit = 0; bit < 16; ++bit)
            config += "bit;" + std::to_string(bit) + ";{{%tag}} alarm " + std::to_string(bit) + "\n";
        config += "alarm;on=5s;remind=1h\n";
    }
    ZentokRun run(zentok, config);
    return watchEverySecond(run, seconds);
}

ReadRace readsBesideLibmodbus(const std::string& zentok, int port, int rounds, int zentokMs,
                              int libmodbusMs) {
    ZentokRun run(zentok, deviceConfig(port, 0, kFiveRegisters));
    WatchedProcess& process = run.process();
    process.pump(2000);
    Tally ours, theirs;
    for (int round = 0; round < rounds && process.running(); ++round) {
        long long before = bytesAckedTowards(port);
        UsageWindow window(process.pid());
        process.pump(zentokMs);
        long long after = bytesAckedTowards(port);
        Usage usage = window.end();
        process.pause();
        if (before >= 0 && after >= before)
            ours.add((after - before) / kRequestBytes, usage.cpuSeconds, usage.wallSeconds);
        theirs.add(libmodbusSlice(port, libmodbusMs));
        process.resume();
    }
    ReadRace race;
    if (process.running()) race.zentok = ours.throughput();
    race.libmodbus = theirs.throughput();
    return race;
}

int syncCallsWithoutAlarms(const std::string& zentok, int port, int seconds) {
    TempDir dir;
    writeFile(dir.file("zentok.ini"), deviceConfig(port, 0, kFiveRegisters));
    {
        // A first run writes the states file, so the measured run starts as a restart does.
        WatchedProcess first;
        first.start({zentok, "-i", "zentok.ini"}, dir.path());
        first.pump(2000);
    }
    return countSyncCalls({zentok, "-i", "zentok.ini"}, dir.path(), seconds, nullptr);
}

std::vector<double> reloadLatenciesMs(const std::string& zentok, int port, int samples) {
    std::string config = deviceConfig(port, 10, {"!OFFLINE", "400001"}, true);
    ZentokRun run(zentok, config);
    WatchedProcess& process = run.process();
    std::vector<double> latencies;
    if (!process.waitFor(kLoadMarker, 0, 5000)) return latencies;
    process.pump(500);  // the first cycle
    std::string ini = run.dir().file("zentok.ini");
    std::string next = run.dir().file("next.ini");
    for (int i = 0; i < samples; ++i) {
        writeFile(next, config + "# load " + std::to_string(i + 1) + "\n");
        size_t from = process.output().size();
        auto renamed = WatchedProcess::Clock::now();
        if (std::rename(next.c_str(), ini.c_str()) != 0) break;
        WatchedProcess::Clock::time_point loaded;
        bool seen = process.waitFor(kLoadMarker, from, 3000, &loaded);
        latencies.push_back(seen ? std::chrono::duration<double, std::milli>(loaded - renamed).count() : -1);
        process.pump(300);  // the new configuration's first cycle, and a pause
    }
    return latencies;
}

Usage missingConfiguration(const std::string& zentok, int seconds) {
    ZentokRun run(zentok, "");
    return run.watch(1000, seconds);
}

// Block reads, side by side in one run against the same device (a Modbus
// server inside the bench with every holding register):
//  1. 250 holding registers in three clusters, read step after read step
//     with no pause (interval 0): the source's read step of a cycle (its block
//     requests, each value into its node in file order, each node's trigger)
//     beside libmodbus reading the same clusters with one
//     modbus_read_registers each and keeping the values. Requests per cycle,
//     cycles per second and CPU per cycle of the reading thread.
//  2. build/zentok with 250 nodes beside build/zentok with 5, both at
//     readinterval 1, for the same seconds: CPU of each process. Needs a
//     build whose node limit is 250 or more; with less it says so.
//
//   bench_blocks [--cycles N] [--rounds R] [--seconds S] [--zentok PATH]
#include <dirent.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/Text.h"
#include "blocks/ClusterDevice.h"
#include "process/WatchedProcess.h"
#include "sources/SourceEntry.h"
#include "sources/SourceWorker.h"
#include "support/NodeAddress.h"
#include "support/TestSupport.h"

#if __has_include(<modbus.h>)
#include <modbus.h>
#define HAVE_LIBMODBUS 1
#endif

using namespace testsupport;

namespace {

struct Cluster {
    int start;
    int count;
};
// 100 + 100 + 50 registers, far apart: three requests a cycle.
constexpr Cluster kClusters[] = {{100, 100}, {1000, 100}, {5000, 50}};

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

std::vector<std::string> clusterAddresses() {
    std::vector<std::string> addresses;
    for (const Cluster& c : kClusters)
        for (int i = 0; i < c.count; ++i) addresses.push_back("4:" + std::to_string(c.start + i));
    return addresses;
}

struct Tally {
    long cycles = 0;
    long requests = 0;
    long failures = 0;
    double wallSeconds = 0;
    double cpuSeconds = 0;

    template <typename Cycle>
    void run(int count, const ClusterDevice& device, Cycle cycle) {
        long before = device.requests();
        double cpuStart = threadCpuSeconds();
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) failures += cycle() ? 0 : 1;
        wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpuSeconds += threadCpuSeconds() - cpuStart;
        requests += device.requests() - before;
        cycles += count;
    }
    double perSecond() const { return wallSeconds > 0 ? cycles / wallSeconds : 0; }
    double cpuUsPerCycle() const { return cycles ? cpuSeconds * 1e6 / cycles : 0; }
    double requestsPerCycle() const { return cycles ? static_cast<double>(requests) / cycles : 0; }
};

#ifdef HAVE_LIBMODBUS
bool readStepComparison(const ClusterDevice& device, int cycles, int rounds) {
    std::vector<std::string> addresses = clusterAddresses();
    SourceEntry source;
    copyText(source.type, "modbus");
    copyText(source.parameters, ("tcp:127.0.0.1:" + std::to_string(device.port())).c_str());
    std::vector<Node> nodes(addresses.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
        nodes[i].source = &source;
        setAddress(nodes[i], "modbus", addresses[i]);
        nodes[i].trigger.kind = ConditionKind::Over;  // O:65535: read and compared, never fires
        nodes[i].trigger.threshold = 65535;
    }
    source.nodes = nodes.data();
    source.nodeCount = static_cast<int>(nodes.size());
    auto ours = [&] {
        readThread(&source);
        return source.failedReads == 0;
    };

    modbus_t* ctx = modbus_new_tcp("127.0.0.1", device.port());
    if (!ctx || modbus_connect(ctx) != 0) {
        printf("bench_blocks: libmodbus cannot connect\n");
        return false;
    }
    std::vector<double> values(addresses.size());
    auto theirs = [&] {
        uint16_t regs[125];
        size_t at = 0;
        for (const Cluster& c : kClusters) {
            if (modbus_read_registers(ctx, c.start, c.count, regs) != c.count) return false;
            for (int i = 0; i < c.count; ++i) values[at++] = regs[i];
        }
        return true;
    };

    Tally warm, a, b;
    warm.run(200, device, ours);
    warm.run(200, device, theirs);
    for (int round = 0; round < rounds; ++round) {
        a.run(cycles, device, ours);
        b.run(cycles, device, theirs);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    bool valuesRight = nodes[0].value == kClusters[0].start && nodes.back().value == values.back();

    printf(
        "250 holding registers in three clusters (100 at 4:100, 100 at 4:1000, 50 at 4:5000), %ld cycles "
        "each\n",
        a.cycles);
    printf("| client | requests per cycle | cycles per second | CPU per cycle (us) | failed cycles |\n");
    printf("|---|---|---|---|---|\n");
    printf("| Zentok read step (blocks, values, triggers) | %.2f | %.0f | %.1f | %ld |\n",
           a.requestsPerCycle(), a.perSecond(), a.cpuUsPerCycle(), a.failures);
    printf("| libmodbus, one modbus_read_registers per cluster | %.2f | %.0f | %.1f | %ld |\n",
           b.requestsPerCycle(), b.perSecond(), b.cpuUsPerCycle(), b.failures);
    printf("| ratio Zentok / libmodbus | %.2f | %.2f | %.2f | |\n",
           a.requestsPerCycle() / b.requestsPerCycle(), a.perSecond() / b.perSecond(),
           a.cpuUsPerCycle() / b.cpuUsPerCycle());
    printf("targets: requests equal, cycles per second >= 0.80, CPU per cycle <= 2.00; values %s\n\n",
           valuesRight ? "right" : "WRONG");
    return a.failures == 0 && b.failures == 0 && valuesRight;
}
#endif

// The time the threads of a process ran, in seconds, from the scheduler's
// nanosecond count (/proc/PID/task/TID/schedstat): the clock ticks of
// /proc/PID/stat (10 ms) are too coarse for a process that sleeps through
// most of each second.
double runSeconds(pid_t pid) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return 0;
    double total = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
        double ns = 0;
        if (stat >> ns) total += ns / 1e9;
    }
    closedir(dir);
    return total;
}

std::string daemonConfig(int port, const std::vector<std::string>& addresses) {
    std::string config =
        "coupler;runmode;cycle\ncoupler;readinterval;1\ncoupler;loglevel;1\nsource;plant\n"
        "adr;modbus;tcp:127.0.0.1:" +
        std::to_string(port) + "\n";
    for (const std::string& address : addresses)
        config += "node;a;" + address + ";value {{*}};alarm;O:65535\n";
    return config;
}

// The node limit the program prints in its banner; 0 when it cannot be read.
int nodeLimit(const std::string& zentok) {
    TempDir dir;
    WatchedProcess probe;
    if (!probe.start({zentok, "-i", "none.ini"}, dir.path())) return 0;
    probe.waitFor(" nodes,", 0, 10000);
    probe.stop();
    size_t at = probe.output().find("sources, ");
    return at == std::string::npos ? 0 : std::atoi(probe.output().c_str() + at + 9);
}

bool processComparison(const ClusterDevice& device, const std::string& zentok, int seconds) {
    int limit = nodeLimit(zentok);
    if (limit < 250) {
        printf("250 nodes against 5 at interval 1 s: %s holds %d nodes a source; needs 250\n", zentok.c_str(),
               limit);
        return true;
    }
    std::vector<std::string> all = clusterAddresses();
    std::vector<std::string> five(all.begin(), all.begin() + 5);
    TempDir bigDir, smallDir;
    writeFile(bigDir.file("zentok.ini"), daemonConfig(device.port(), all));
    writeFile(smallDir.file("zentok.ini"), daemonConfig(device.port(), five));
    WatchedProcess big, small;
    big.start({zentok, "-i", "zentok.ini"}, bigDir.path());
    small.start({zentok, "-i", "zentok.ini"}, smallDir.path());
    big.pump(3000);
    small.pump(10);
    // The program's threads live as long as it does, so none drops out of the sum.
    double bigStart = runSeconds(big.pid()), smallStart = runSeconds(small.pid());
    auto start = std::chrono::steady_clock::now();
    for (int s = 0; s < seconds; ++s) {
        big.pump(500);
        small.pump(500);
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double bigCpu = runSeconds(big.pid()) - bigStart, smallCpu = runSeconds(small.pid()) - smallStart;
    bool ran = big.running() && small.running();
    printf("build/zentok at readinterval 1, side by side for %.0f s against the same device\n", wall);
    printf("| nodes | CPU (ms per s) |\n|---|---|\n");
    printf("| 250 (three blocks) | %.3f |\n| 5 | %.3f |\n", 1000 * bigCpu / wall, 1000 * smallCpu / wall);
    printf("| ratio 250 / 5 | %.2f |\ntarget: <= 3.00%s\n", bigCpu / smallCpu,
           ran ? "" : " (a program ended early: no figures)");
    big.stop();
    small.stop();
    return ran;
}

}  // namespace

int main(int argc, char** argv) {
    int cycles = 500;
    int rounds = 20;
    int seconds = 60;
    std::string zentok = binaryPath("zentok");
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--cycles") == 0)
            cycles = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--zentok") == 0)
            zentok = argv[i + 1];
    }
    ClusterDevice device;
    if (device.port() <= 0) return 1;
#ifdef HAVE_LIBMODBUS
    bool ok = readStepComparison(device, cycles, rounds);
#else
    printf("bench_blocks: built without libmodbus (libmodbus-dev); no read step comparison\n");
    bool ok = true;
#endif
    ok = processComparison(device, zentok, seconds) && ok;
    return ok ? 0 : 1;
}

// Round trip and CPU time of one holding-register read: ModbusConnection::read
// beside libmodbus's modbus_read_registers, in one run against the same
// plantsim server. The two clients take turns in rounds, so that both see the
// same machine load. A FLOAT32 node (two registers) is read the same way: it
// must cost one round trip, as the two-register read of libmodbus does.
//
//   bench_modbus [--reads N] [--rounds R] [--plantsim PATH]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/Text.h"
#include "cycle/Coupler.h"
#include "sources/modbus/ModbusConnection.h"
#include "support/NodeAddress.h"
#include "support/TestSupport.h"

#if __has_include(<modbus.h>)
#include <modbus.h>
#define HAVE_LIBMODBUS 1
#endif

using namespace testsupport;

namespace {

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

struct Tally {
    std::vector<double> roundTripsUs;
    double cpuSeconds = 0;
    int failures = 0;

    template <typename ReadOnce>
    void run(int reads, ReadOnce readOnce) {
        double cpuStart = threadCpuSeconds();
        for (int i = 0; i < reads; ++i) {
            auto start = std::chrono::steady_clock::now();
            bool ok = readOnce();
            auto end = std::chrono::steady_clock::now();
            if (!ok) ++failures;
            roundTripsUs.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        }
        cpuSeconds += threadCpuSeconds() - cpuStart;
    }
    double medianUs() {
        if (roundTripsUs.empty()) return 0;
        std::vector<double> sorted = roundTripsUs;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        return sorted[sorted.size() / 2];
    }
    double cpuUsPerRead() const { return roundTripsUs.empty() ? 0 : cpuSeconds * 1e6 / roundTripsUs.size(); }
};

}  // namespace

int main(int argc, char** argv) {
    int reads = 200;
    int rounds = 100;
    std::string plantsim = binaryPath("tools/plantsim/plantsim");
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--reads") == 0)
            reads = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--plantsim") == 0)
            plantsim = argv[i + 1];
    }
#ifndef HAVE_LIBMODBUS
    printf("bench_modbus: built without libmodbus (libmodbus-dev); nothing to compare with\n");
    return 1;
#else
    if (!fileExists(plantsim)) {
        printf("bench_modbus: %s is missing; build the plantsim target first\n", plantsim.c_str());
        return 1;
    }
    TempDir dir;
    int port = freeLoopbackPort();
    Process server;
    server.start({plantsim, "--port", std::to_string(port), "--lifetime", "600"}, dir.file("plantsim.log"));
    if (!waitForPort(port, 10000)) {
        printf("bench_modbus: plantsim did not start: %s\n", readFile(dir.file("plantsim.log")).c_str());
        return 1;
    }

    std::string parameters = "tcp:127.0.0.1:" + std::to_string(port);
    ModbusConnection ours;
    if (!ours.connect(parameters.c_str())) return 1;
    Node node;
    setAddress(node, "modbus", "400001");
    SourceEntry source;
    copyText(source.type, "modbus");
    Node pair;  // the plant's level as FLOAT32 in holding registers 4 and 5
    pair.source = &source;
    std::string why;
    if (!setAddress(pair, "modbus", "400004:FLOAT32", &why)) {
        printf("bench_modbus: %s\n", why.c_str());
        return 1;
    }

    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx || modbus_connect(ctx) != 0) {
        printf("bench_modbus: libmodbus cannot connect\n");
        return 1;
    }
    uint16_t reg = 0;
    uint16_t regs[2] = {};

    auto readOurs = [&] { return ours.read(&node); };
    auto readLibmodbus = [&] { return modbus_read_registers(ctx, 1, 1, &reg) == 1; };
    auto readOursPair = [&] { return ours.read(&pair); };
    auto readLibmodbusPair = [&] { return modbus_read_registers(ctx, 4, 2, regs) == 2; };

    // Warm-up: connections, caches, the server's first answers.
    Tally warm;
    warm.run(500, readOurs);
    warm.run(500, readLibmodbus);
    warm.run(500, readOursPair);

    Tally a, b, c, d;
    for (int round = 0; round < rounds; ++round) {
        a.run(reads, readOurs);
        b.run(reads, readLibmodbus);
        c.run(reads, readOursPair);
        d.run(reads, readLibmodbusPair);
    }
    modbus_close(ctx);
    modbus_free(ctx);

    int total = reads * rounds;
    printf("Modbus read of one holding register, %d reads each over loopback against plantsim\n", total);
    printf("| client | median round trip (us) | CPU per read (us) | failed reads |\n");
    printf("|---|---|---|---|\n");
    printf("| ModbusConnection::read | %.1f | %.2f | %d |\n", a.medianUs(), a.cpuUsPerRead(), a.failures);
    printf("| libmodbus modbus_read_registers | %.1f | %.2f | %d |\n", b.medianUs(), b.cpuUsPerRead(),
           b.failures);
    printf("| ratio ours / libmodbus | %.2f | %.2f | |\n", a.medianUs() / b.medianUs(),
           a.cpuUsPerRead() / b.cpuUsPerRead());
    printf("targets: round trip ratio <= 1.10, CPU ratio <= 1.20\n\n");

    printf("FLOAT32 node (two registers, one request) beside the one-register read above\n");
    printf("| client | median round trip (us) | CPU per read (us) | failed reads |\n");
    printf("|---|---|---|---|\n");
    printf("| ModbusConnection::read, 400004:FLOAT32 | %.1f | %.2f | %d |\n", c.medianUs(), c.cpuUsPerRead(),
           c.failures);
    printf("| libmodbus modbus_read_registers, 2 registers | %.1f | %.2f | %d |\n", d.medianUs(),
           d.cpuUsPerRead(), d.failures);
    printf("| ratio FLOAT32 / one register (ours) | %.2f | %.2f | |\n", c.medianUs() / a.medianUs(),
           c.cpuUsPerRead() / a.cpuUsPerRead());
    printf("target: one round trip, FLOAT32 round trip ratio <= 1.10 (two requests would be about 2)\n");
    return a.failures || b.failures || c.failures || d.failures ? 1 : 0;
#endif
}

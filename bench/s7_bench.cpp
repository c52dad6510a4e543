// Round trip of one S7 read of a flag word (MW20): our daveReadBytes beside
// the snap7 client of node-snap7 (S7Client.ReadArea), in one run against the
// same snap7 server. The two clients take turns in rounds, so that both see
// the same machine load.
//
//   bench_s7 [--reads N] [--rounds R]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "sources/s7/Nodave.h"
#include "sources/s7/S7Session.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

double percentile90(std::vector<double> values) {
    if (values.empty()) return 0;
    size_t at = values.size() * 9 / 10;
    std::nth_element(values.begin(), values.begin() + at, values.end());
    return values[at];
}

// Runs the node client for one round; its round trips go into samples.
bool runSnap7Client(int port, int reads, std::vector<double>* samples, int* failures) {
    RunResult run = runProgram({"/usr/bin/env", "node", sourcePath("tests/peers/s7/s7client_bench.js"),
                                "--port", std::to_string(port), "--reads", std::to_string(reads)},
                               sourcePath("tests/peers/s7"), 120000);
    std::istringstream lines(run.output);
    std::string line;
    bool found = false;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "failures") {
            int n = 0;
            words >> n;
            *failures += n;
        } else if (key == "roundtrips_us") {
            double us;
            while (words >> us) samples->push_back(us);
            found = true;
        }
    }
    if (!found) std::printf("bench_s7: the snap7 client failed: %s\n", run.output.c_str());
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    int reads = 2000;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--reads") == 0)
            reads = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::atoi(argv[i + 1]);
    }
    if (reads < 1 || rounds < 1) return 1;

    TempDir dir;
    int port = freeLoopbackPort();
    Process server;
    server.start({"/usr/bin/env", "node", sourcePath("tests/peers/s7/s7server.js"), "--port",
                  std::to_string(port), "--lifetime", "900", "--set", "MK:20:1234"},
                 dir.file("s7server.log"));
    if (!waitForPort(port, 15000)) {
        std::printf("bench_s7: the snap7 server did not start: %s\n",
                    readFile(dir.file("s7server.log")).c_str());
        return 1;
    }

    S7Session session;
    if (!session.openTcp("127.0.0.1", port, 5000000) || session.connectPlc(2) != 0) {
        std::printf("bench_s7: cannot connect to the snap7 server\n");
        return 1;
    }
    daveConnection* dc = session.connection();
    unsigned char buf[4];
    int oursFailed = 0;
    auto readOurs = [&] {
        bool ok = daveReadBytes(dc, daveFlags, 0, 20, 2, buf) == 0 && daveGetU16from(buf) == 0x1234;
        if (!ok) ++oursFailed;
    };
    for (int i = 0; i < 200; ++i) readOurs();  // warm-up
    oursFailed = 0;

    std::vector<double> ours, theirs;
    int theirsFailed = 0;
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < reads; ++i) {
            auto start = std::chrono::steady_clock::now();
            readOurs();
            auto end = std::chrono::steady_clock::now();
            ours.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        }
        if (!runSnap7Client(port, reads, &theirs, &theirsFailed)) return 1;
    }

    std::printf("S7 read of the flag word MW20, %d reads each over loopback against the node-snap7 server\n",
                reads * rounds);
    std::printf("| client | median round trip (us) | 90th percentile (us) | failed reads |\n");
    std::printf("|---|---|---|---|\n");
    std::printf("| daveReadBytes | %.1f | %.1f | %d |\n", median(ours), percentile90(ours), oursFailed);
    std::printf("| snap7 S7Client.ReadArea (node-snap7) | %.1f | %.1f | %d |\n", median(theirs),
                percentile90(theirs), theirsFailed);
    std::printf("| ratio ours / snap7 | %.2f | %.2f | |\n", median(ours) / median(theirs),
                percentile90(ours) / percentile90(theirs));
    std::printf("target: median ratio <= 1.00\n");
    return oursFailed || theirsFailed ? 1 : 0;
}

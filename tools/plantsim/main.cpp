// plantsim: plays a small plant on a loop and serves it over Modbus TCP on
// 127.0.0.1, for the demo, the tests and the benchmark.
//
//   plantsim [--port N] [--speed F] [--start S] [--lifetime S] [--delay-ms N] [--crossings FILE] [--verbose]
#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "Plant.h"
#include "PlantServer.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

void usage() {
    printf(
        "usage: plantsim [--port N] [--speed F] [--start S] [--lifetime S] [--delay-ms N] [--crossings "
        "FILE]\n"
        "                [--verbose]\n"
        "  --port N      TCP port on 127.0.0.1 (default 1502)\n"
        "  --speed F     scenario seconds per real second (default 1; 0 freezes the plant)\n"
        "  --start S     scenario time to begin at, in seconds (default 0)\n"
        "  --lifetime S  stop after S real seconds (default 0: run until stopped)\n"
        "  --delay-ms N  answer each request N ms late, like a slow device (default 0; one client)\n"
        "  --crossings FILE  append the wall-clock time (ms since 1970) of each answer that is the first\n"
        "                to show the level over the threshold: the read that decides an alarm\n"
        "  --verbose     print the plant's events as they happen\n"
        "Holding register 1: tank level (cm), 2: alarm threshold (100 cm), 3: fill cycles,\n"
        "4-5: tank level (cm) as FLOAT32, high word first, 6: level change (mm/s) as INT16;\n"
        "coil 1: drain pump, coil 2: inlet valve; discrete input 1: high-level switch;\n"
        "input register 1: temperature (0.1 degC). Addresses 0..15 of each table are served.\n");
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int port = 1502;
    double speed = 1.0;
    double start = 0.0;
    double lifetime = 0.0;
    int delayMs = 0;
    bool verbose = false;
    const char* crossingsPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(arg, "--verbose") == 0) {
            verbose = true;
        } else if (value && std::strcmp(arg, "--port") == 0) {
            port = std::atoi(value), ++i;
        } else if (value && std::strcmp(arg, "--speed") == 0) {
            speed = std::atof(value), ++i;
        } else if (value && std::strcmp(arg, "--start") == 0) {
            start = std::atof(value), ++i;
        } else if (value && std::strcmp(arg, "--lifetime") == 0) {
            lifetime = std::atof(value), ++i;
        } else if (value && std::strcmp(arg, "--crossings") == 0) {
            crossingsPath = value, ++i;
        } else if (value && std::strcmp(arg, "--delay-ms") == 0) {
            delayMs = std::atoi(value), ++i;
        } else {
            usage();
            return std::strcmp(arg, "--help") == 0 ? 0 : 2;
        }
    }
    if (port < 1 || port > 65535 || speed < 0 || delayMs < 0 || delayMs > 10000) {
        usage();
        return 2;
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    PlantServer server;
    if (!server.listenOn(port)) return 1;
    server.setAnswerDelay(delayMs);
    printf("plantsim: plant on 127.0.0.1:%d, speed %g, level crosses %d cm about every %g s\n", port, speed,
           kLevelThreshold, speed > 0 ? kPlantCycleSeconds / speed : 0.0);

    auto began = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    };
    auto imageNow = [&] { return plantAt(start + elapsed() * speed); };

    PlantImage last = imageNow();
    auto keepGoing = [&] {
        if (stopRequested || (lifetime > 0 && elapsed() >= lifetime)) return false;
        if (verbose) {
            PlantImage now = imageNow();
            bool wasHigh = last.holdingRegisters[kHoldingLevel] > kLevelThreshold;
            bool isHigh = now.holdingRegisters[kHoldingLevel] > kLevelThreshold;
            if (wasHigh != isHigh)
                printf("plantsim: level %d cm, %s the threshold\n", now.holdingRegisters[kHoldingLevel],
                       isHigh ? "over" : "back under");
            if (last.coils[kCoilPump] != now.coils[kCoilPump])
                printf("plantsim: pump %s\n", now.coils[kCoilPump] ? "on" : "off");
            if (last.inputs[kInputHighLevel] != now.inputs[kInputHighLevel])
                printf("plantsim: high-level switch %s\n", now.inputs[kInputHighLevel] ? "on" : "off");
            last = now;
        }
        return true;
    };
    // The benchmark's reference for alarm latency: when a client was first
    // answered with the level over the threshold.
    FILE* crossings = crossingsPath ? std::fopen(crossingsPath, "a") : nullptr;
    bool answeredHigh = true;  // a start above the threshold is no crossing
    auto answerImage = [&] {
        PlantImage image = imageNow();
        bool high = image.holdingRegisters[kHoldingLevel] > kLevelThreshold;
        if (crossings && high && !answeredHigh) {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            std::fprintf(crossings, "%lld\n",
                         static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
            std::fflush(crossings);
        }
        answeredHigh = high;
        return image;
    };
    server.run(keepGoing, crossings ? std::function<PlantImage()>(answerImage) : imageNow);
    if (crossings) std::fclose(crossings);
    printf("plantsim: stopped\n");
    return 0;
}

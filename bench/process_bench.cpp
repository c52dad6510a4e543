// The program as a process, watched from outside: CPU while the device is
// unreachable, slow or idle, reads per second beside libmodbus, fsync calls
// and the reload latency, reads and alarms beside a receiver that never
// answers, the outbox writes of a backlog and the threads of a drain, for one
// or more builds of zentok side by side in one run, and what a cycle every
// second costs while nothing happens. Every scenario runs each build in
// turn, so all see the same load.
//
//   bench_process [--zentok LABEL=PATH]... [--plantsim PATH] [--quick] [--sender] [--loop]
//
// Without --zentok the zentok of this build tree is measured, labelled
// "after". --quick shortens every window, to try the bench itself; --sender
// runs only the scenarios of the sender and the outbox, --loop only the idle
// loop and the cycle every second.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "process/Scenarios.h"
#include "process/SenderScenarios.h"
#include "process/WatchedProcess.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// The program loads a changed configuration once the file has been quiet this long.
constexpr double kSettleMs = 100;

// Seconds of each measuring window; the rounds of the read race and their
// slices in milliseconds; the number of reloads.
struct Plan {
    int unreachable = 20, slow = 10, idle = 30;
    int raceRounds = 10, zentokSliceMs = 1000, libmodbusSliceMs = 500;
    int sync = 10, reloads = 20, missing = 5;
    int hanging = 60, backlog = 30, drain = 15;
    bool senderOnly = false;
    bool loopOnly = false;
    int everySecond = 60;  // the states file's read times are written once a minute
};
constexpr Plan kQuickPlan{4, 3, 5, 3, 1000, 500, 3, 5, 2, 12, 8, 6, false, false, 6};

struct Figures {
    double unreachableCpu = NAN;
    double slowCpu = NAN, slowReadsPerSecond = NAN;
    double idleCpu = NAN, idleWakeups = NAN;
    EverySecond second;
    EverySecond plant;  // 250 nodes, 50 of them words of 16 alarm bits
    Throughput ours, libmodbus;
    int syncCalls = -1;
    std::vector<double> reloadsMs;
    double missingConfigCpu = NAN;
    HangingReceiverFigures hanging;
    BacklogFigures refused, drain;
};

struct Subject {
    std::string label;
    std::string path;
    Figures figures;
};

double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

bool reloadsComplete(const Figures& f) {
    return !f.reloadsMs.empty() && *std::min_element(f.reloadsMs.begin(), f.reloadsMs.end()) >= 0;
}

double readsRatio(const Figures& f) {
    return f.ours.readsPerSecond / f.libmodbus.readsPerSecond;
}
double cpuRatio(const Figures& f) {
    return f.ours.cpuUsPerRead / f.libmodbus.cpuUsPerRead;
}

// A figure's text; the compiler checks each call's pattern against its value.
__attribute__((format(printf, 1, 2))) std::string format(const char* pattern, ...) {
    va_list arguments;
    va_start(arguments, pattern);
    double value = va_arg(arguments, double);
    va_end(arguments);
    if (std::isnan(value) || std::isinf(value)) return "n/a";
    char text[64];
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

// One line of the table: a figure for every build and, where there is one,
// whether it meets its target.
struct Row {
    const char* measure;
    const char* target;  // "-" when the figure has none
    std::function<std::string(const Figures&)> figure;
    std::function<bool(const Figures&)> met;
};

// The loop between cycles.
std::vector<Row> loopRows() {
    return {
        {"idle, readinterval 10: CPU, % of a core", "<= 0.1",
         [](const Figures& f) { return format("%.3f", f.idleCpu); },
         [](const Figures& f) { return f.idleCpu <= 0.1; }},
        {"idle, readinterval 10: wake-ups/s", "<= 5",
         [](const Figures& f) { return format("%.1f", f.idleWakeups); },
         [](const Figures& f) { return f.idleWakeups <= 5; }},
        {"readinterval 1, 5 nodes, no value changing: CPU, % of a core", "-",
         [](const Figures& f) { return format("%.3f", f.second.usage.cpuPercent()); }, nullptr},
        {"the same: wake-ups/s", "-",
         [](const Figures& f) { return format("%.1f", f.second.usage.switchesPerSecond()); }, nullptr},
        {"the same: states file replaced, times/min", "-",
         [](const Figures& f) { return format("%.1f", f.second.statesWritesPerMinute); }, nullptr},
        {"the same: write bytes/s", "-",
         [](const Figures& f) { return format("%.0f", f.second.writeBytesPerSecond); }, nullptr},
        {"the same: private memory, kB", "-",
         [](const Figures& f) { return format("%.0f", f.second.privateKb); }, nullptr},
        {"readinterval 1, 250 nodes (50 words of 16 alarm bits): private memory, kB", "<= 4096",
         [](const Figures& f) { return format("%.0f", f.plant.privateKb); },
         [](const Figures& f) { return f.plant.privateKb <= 4096; }},
        {"the same: CPU, times the 5-node figure", "<= 3",
         [](const Figures& f) {
             return format("%.2f", f.plant.usage.cpuPercent() / f.second.usage.cpuPercent());
         },
         [](const Figures& f) { return f.plant.usage.cpuPercent() <= 3 * f.second.usage.cpuPercent(); }},
    };
}

std::vector<Row> tableRows() {
    std::vector<Row> rows = {
        {"device unreachable, readinterval 10: CPU, % of a core", "<= 1",
         [](const Figures& f) { return format("%.2f", f.unreachableCpu); },
         [](const Figures& f) { return f.unreachableCpu <= 1; }},
        {"device answering in 5 ms, readinterval 0: CPU, % of a core", "<= 3",
         [](const Figures& f) { return format("%.2f", f.slowCpu); },
         [](const Figures& f) { return f.slowCpu <= 3; }},
        {"device answering in 5 ms, readinterval 0: reads/s", "-",
         [](const Figures& f) { return format("%.0f", f.slowReadsPerSecond); }, nullptr},
    };
    std::vector<Row> loop = loopRows();
    rows.insert(rows.end(), loop.begin(), loop.end());
    std::vector<Row> rest = {
        {"readinterval 0, 5 nodes, plantsim: reads/s (libmodbus beside it)", "-",
         [](const Figures& f) {
             return format("%.0f", f.ours.readsPerSecond) + " (" +
                    format("%.0f", f.libmodbus.readsPerSecond) + ")";
         },
         nullptr},
        {"reads/s, zentok / libmodbus", ">= 0.8",
         [](const Figures& f) { return format("%.2f", readsRatio(f)); },
         [](const Figures& f) { return readsRatio(f) >= 0.8; }},
        {"CPU per read, us (libmodbus beside it)", "-",
         [](const Figures& f) {
             return format("%.1f", f.ours.cpuUsPerRead) + " (" + format("%.1f", f.libmodbus.cpuUsPerRead) +
                    ")";
         },
         nullptr},
        {"CPU per read, zentok / libmodbus", "<= 2",
         [](const Figures& f) { return format("%.2f", cpuRatio(f)); },
         [](const Figures& f) { return cpuRatio(f) <= 2; }},
        {"fsync + fdatasync calls, readinterval 0, no alarm changing", "0",
         [](const Figures& f) { return f.syncCalls < 0 ? std::string("n/a") : std::to_string(f.syncCalls); },
         [](const Figures& f) { return f.syncCalls == 0; }},
        {"reload, rename to first line of the new load: median ms (min-max)", "<= 120",
         [](const Figures& f) {
             if (!reloadsComplete(f)) return std::string("a reload was missed");
             auto [low, high] = std::minmax_element(f.reloadsMs.begin(), f.reloadsMs.end());
             return format("%.1f", median(f.reloadsMs)) + " (" + format("%.1f", *low) + "-" +
                    format("%.1f", *high) + ")";
         },
         [](const Figures& f) { return reloadsComplete(f) && median(f.reloadsMs) <= kSettleMs + 20; }},
        {"no configuration file: CPU, % of a core", "-",
         [](const Figures& f) { return format("%.2f", f.missingConfigCpu); }, nullptr},
    };
    rows.insert(rows.end(), rest.begin(), rest.end());
    return rows;
}

// A receiver that never answers, a backlog its receiver refuses, a drain.
std::vector<Row> senderRows() {
    return {
        {"receiver never answers, readinterval 1: reads/min of another node", "60 +- 1",
         [](const Figures& f) { return format("%.1f", f.hanging.readsPerMinute); },
         [](const Figures& f) { return std::fabs(f.hanging.readsPerMinute - 60) <= 1; }},
        {"the same: that node's alarm, rise to file line, median / slowest ms (written of risen)", "<= 1050",
         [](const Figures& f) {
             return format("%.0f", f.hanging.medianAlarmMs) + " / " +
                    format("%.0f", f.hanging.slowestAlarmMs) + " (" + std::to_string(f.hanging.alarmsSeen) +
                    " of " + std::to_string(f.hanging.alarms) + ")";
         },
         [](const Figures& f) {
             return f.hanging.alarmsSeen == f.hanging.alarms && f.hanging.slowestAlarmMs <= 1050;
         }},
        {"1,000 pending entries of 8 KB, receiver refusing, retries on: write bytes/s", "< 10240",
         [](const Figures& f) { return format("%.0f", f.refused.writeBytesPerSecond); },
         [](const Figures& f) { return f.refused.writeBytesPerSecond < 10240; }},
        {"the same: threads at most", "-",
         [](const Figures& f) { return std::to_string(f.refused.mostThreads); }, nullptr},
        {"1,000 entries drained into a receiver that never answers: threads at most", "<= 16",
         [](const Figures& f) { return std::to_string(f.drain.mostThreads); },
         [](const Figures& f) { return f.drain.mostThreads > 0 && f.drain.mostThreads <= 16; }},
    };
}

void printTable(const std::vector<Subject>& subjects, const std::vector<Row>& rows) {
    printf("\n| measure | target |");
    for (const Subject& s : subjects) printf(" %s |", s.label.c_str());
    printf("\n|---|---|");
    for (size_t i = 0; i < subjects.size(); ++i) printf("---|");
    printf("\n");
    std::vector<int> metCount(subjects.size(), 0);
    int targets = 0;
    for (const Row& row : rows) {
        printf("| %s | %s |", row.measure, row.target);
        if (row.met) ++targets;
        for (size_t i = 0; i < subjects.size(); ++i) {
            const Figures& f = subjects[i].figures;
            std::string verdict;
            if (row.met) {
                bool met = row.met(f);
                metCount[i] += met;
                verdict = met ? " met" : " missed";
            }
            printf(" %s%s |", row.figure(f).c_str(), verdict.c_str());
        }
        printf("\n");
    }
    printf("\n");
    for (size_t i = 0; i < subjects.size(); ++i)
        printf("%s: %d of %d targets met\n", subjects[i].label.c_str(), metCount[i], targets);
}

std::string loadAverage() {
    std::string text = readFile("/proc/loadavg");
    size_t third = 0;
    for (int i = 0; i < 3 && third != std::string::npos; ++i) third = text.find(' ', third + 1);
    return third == std::string::npos ? text : text.substr(0, third);
}

void progress(const char* scenario, const Subject& s, const std::string& figure) {
    printf("%-28s %-14s %s\n", scenario, s.label.c_str(), figure.c_str());
    std::fflush(stdout);
}

bool makeAbsolute(std::string* path) {
    char* full = realpath(path->c_str(), nullptr);
    if (!full) {
        printf("bench_process: %s is missing; build it first\n", path->c_str());
        return false;
    }
    *path = full;
    std::free(full);
    return true;
}

// plantsim on a free port; it ends with the bench, or after an hour at most.
bool startPlantsim(WatchedProcess& process, const std::string& binary, int* port,
                   const std::vector<std::string>& extra) {
    *port = freeLoopbackPort();
    std::vector<std::string> argv{binary, "--port", std::to_string(*port), "--lifetime", "3600"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return process.start(argv, "/") && waitForPort(*port, 10000);
}

void measureSender(std::vector<Subject>& subjects, const Plan& plan) {
    for (Subject& s : subjects) {
        s.figures.hanging = hangingReceiver(s.path, plan.hanging);
        progress("hanging receiver, reads/min", s, format("%.1f", s.figures.hanging.readsPerMinute));
    }
    for (Subject& s : subjects) {
        s.figures.refused = refusedBacklog(s.path, plan.backlog);
        progress("refused backlog, bytes/s", s, format("%.0f", s.figures.refused.writeBytesPerSecond));
    }
    for (Subject& s : subjects) {
        s.figures.drain = hangingDrain(s.path, plan.drain);
        progress("drain, threads", s, std::to_string(s.figures.drain.mostThreads));
    }
}

// The loop between cycles: idle at readinterval 10, and a cycle every second.
void measureLoop(std::vector<Subject>& subjects, const Plan& plan, int fastPort) {
    for (Subject& s : subjects) {
        Usage idle = idleBetweenCycles(s.path, fastPort, plan.idle);
        s.figures.idleCpu = idle.cpuPercent();
        s.figures.idleWakeups = idle.switchesPerSecond();
        progress("idle, CPU % and wake-ups/s", s,
                 format("%.3f", s.figures.idleCpu) + " " + format("%.1f", s.figures.idleWakeups));
    }
    for (Subject& s : subjects) {
        s.figures.second = everySecond(s.path, plan.everySecond);
        progress("every second, wake-ups/s", s,
                 format("%.1f", s.figures.second.usage.switchesPerSecond()) + ", states file " +
                     format("%.1f", s.figures.second.statesWritesPerMinute) + "/min");
    }
    for (Subject& s : subjects) {
        s.figures.plant = fullPlant(s.path, plan.everySecond);
        progress("250 nodes every second, private kB", s, format("%.0f", s.figures.plant.privateKb));
    }
}

// Every scenario for every build, one build after the other within a scenario.
void measureAll(std::vector<Subject>& subjects, const Plan& plan, int fastPort, int slowPort) {
    if (plan.loopOnly) return measureLoop(subjects, plan, fastPort);
    measureSender(subjects, plan);
    if (plan.senderOnly) return;
    for (Subject& s : subjects) {
        s.figures.unreachableCpu = unreachableDevice(s.path, plan.unreachable).cpuPercent();
        progress("unreachable, CPU %", s, format("%.2f", s.figures.unreachableCpu));
    }
    for (Subject& s : subjects) {
        s.figures.slowCpu =
            slowDevice(s.path, slowPort, plan.slow, &s.figures.slowReadsPerSecond).cpuPercent();
        progress("5 ms device, CPU %", s, format("%.2f", s.figures.slowCpu));
    }
    measureLoop(subjects, plan, fastPort);
    for (Subject& s : subjects) {
        ReadRace race = readsBesideLibmodbus(s.path, fastPort, plan.raceRounds, plan.zentokSliceMs,
                                             plan.libmodbusSliceMs);
        s.figures.ours = race.zentok;
        s.figures.libmodbus = race.libmodbus;
        progress("reads/s, zentok (libmodbus)", s,
                 format("%.0f", s.figures.ours.readsPerSecond) + " (" +
                     format("%.0f", s.figures.libmodbus.readsPerSecond) + ")");
    }
    for (Subject& s : subjects) {
        s.figures.syncCalls = syncCallsWithoutAlarms(s.path, fastPort, plan.sync);
        progress("fsync calls", s, std::to_string(s.figures.syncCalls));
    }
    for (Subject& s : subjects) {
        s.figures.reloadsMs = reloadLatenciesMs(s.path, fastPort, plan.reloads);
        progress("reload, median ms", s, format("%.1f", median(s.figures.reloadsMs)));
    }
    for (Subject& s : subjects) {
        s.figures.missingConfigCpu = missingConfiguration(s.path, plan.missing).cpuPercent();
        progress("no configuration, CPU %", s, format("%.2f", s.figures.missingConfigCpu));
    }
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<Subject> subjects;
    std::string plantsim = binaryPath("tools/plantsim/plantsim");
    Plan plan;
    for (int i = 1; i < argc; ++i) {
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(argv[i], "--quick") == 0) {
            bool senderOnly = plan.senderOnly, loopOnly = plan.loopOnly;
            plan = kQuickPlan;
            plan.senderOnly = senderOnly;
            plan.loopOnly = loopOnly;
        } else if (std::strcmp(argv[i], "--sender") == 0) {
            plan.senderOnly = true;
        } else if (std::strcmp(argv[i], "--loop") == 0) {
            plan.loopOnly = true;
        } else if (value && std::strcmp(argv[i], "--plantsim") == 0) {
            plantsim = value, ++i;
        } else if (value && std::strcmp(argv[i], "--zentok") == 0 && std::strchr(value, '=')) {
            const char* equals = std::strchr(value, '=');
            subjects.push_back({std::string(value, equals), equals + 1, {}});
            ++i;
        } else {
            printf(
                "usage: bench_process [--zentok LABEL=PATH]... [--plantsim PATH] [--quick] [--sender] "
                "[--loop]\n");
            return 2;
        }
    }
    if (subjects.empty()) subjects.push_back({"after", zentokBinary(), {}});
    // Absolute paths: every program runs in a directory of its own.
    bool found = makeAbsolute(&plantsim);
    for (Subject& s : subjects) found = makeAbsolute(&s.path) && found;
    if (!found) return 1;

    WatchedProcess fastPlant, slowPlant;
    int fastPort = 0, slowPort = 0;
    if (!startPlantsim(fastPlant, plantsim, &fastPort, {}) ||
        !startPlantsim(slowPlant, plantsim, &slowPort, {"--delay-ms", "5"})) {
        printf("bench_process: plantsim did not start\n");
        return 1;
    }
    printf("load average at the start: %s\n", loadAverage().c_str());

    measureAll(subjects, plan, fastPort, slowPort);
    printf("load average at the end: %s\n", loadAverage().c_str());
    printf(
        "windows (s): unreachable %d, 5 ms device %d, idle %d, every second %d, fsync %d, no configuration "
        "%d; "
        "reads: %d rounds of %d ms zentok, %d ms libmodbus; %d reloads; CPU from /proc in clock ticks of "
        "%.0f ms\n",
        plan.unreachable, plan.slow, plan.idle, plan.everySecond, plan.sync, plan.missing, plan.raceRounds,
        plan.zentokSliceMs, plan.libmodbusSliceMs, plan.reloads,
        1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)));
    printf(
        "sender (s): receiver never answering %d, refused backlog %d after 2 warm-up, drain %d after 2 "
        "warm-up\n",
        plan.hanging, plan.backlog, plan.drain);
    if (plan.loopOnly) {
        printTable(subjects, loopRows());
        return 0;
    }
    printTable(subjects, senderRows());
    if (!plan.senderOnly) printTable(subjects, tableRows());
    return 0;
}

// The sender and outbox scenarios of the process benchmark (see
// SenderScenarios.h).
#include "SenderScenarios.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "BenchDevice.h"
#include "WatchedProcess.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

constexpr int kBacklogEntries = 1000;
constexpr int kEntryTextBytes = 7990;  // an expanded text holds at most 7999

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point then) {
    return std::chrono::duration<double, std::milli>(Clock::now() - then).count();
}

std::string localStamp(time_t when) {
    struct tm local {};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// An outbox file as a long outage leaves it: `count` entries for receiver
// "hook", fired a minute ago.
std::string backlogOutbox(int count) {
    const std::string firedAt = localStamp(time(nullptr) - 60);
    const std::string text(kEntryTextBytes, 'x');
    std::string outbox;
    for (int i = 0; i < count; ++i)
        outbox +=
            "\"hook\";\"plant\";\"400001\";" + firedAt + ";\"" + std::to_string(i) + text + "\";0;;1;0\n";
    return outbox;
}

std::string backlogConfig(int devicePort, int hookPort, int retrySeconds) {
    return "coupler;runmode;cycle\ncoupler;readinterval;1\ncoupler;retry;" + std::to_string(retrySeconds) +
           "\nsource;plant\nadr;modbus;tcp:127.0.0.1:" + std::to_string(devicePort) +
           "\nnode;a;400001;never;alarm;O:60000\n"
           "receiver;hook\nadr;webhook;http://127.0.0.1:" +
           std::to_string(hookPort) + "/hook\ndir;alarm\n";
}

// A figure of /proc/PID/io or /proc/PID/status: the number behind `name`.
long long procField(pid_t pid, const char* file, const std::string& name) {
    std::string text = readFile("/proc/" + std::to_string(pid) + "/" + file);
    size_t at = text.find(name);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size());
}

BacklogFigures watchBacklog(const std::string& zentok, int hookPort, int retrySeconds, int seconds) {
    BenchDevice device;
    TempDir dir;
    writeFile(dir.file("zentok.ini"), backlogConfig(device.port(), hookPort, retrySeconds));
    writeFile(dir.file("zentok_outbox.csv"), backlogOutbox(kBacklogEntries));
    WatchedProcess process;
    BacklogFigures figures;
    if (!process.start({zentok, "-i", "zentok.ini"}, dir.path())) return figures;
    auto sampleThreads = [&](int ms) {
        for (auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
            process.pump(50);
            long long threads = procField(process.pid(), "status", "Threads:");
            figures.mostThreads = std::max(figures.mostThreads, static_cast<int>(threads));
        }
    };
    sampleThreads(2000);
    long long before = procField(process.pid(), "io", "write_bytes:");
    auto start = Clock::now();
    sampleThreads(seconds * 1000);
    long long after = procField(process.pid(), "io", "write_bytes:");
    if (process.running() && before >= 0 && after >= before)
        figures.writeBytesPerSecond = static_cast<double>(after - before) / (msSince(start) / 1000.0);
    process.stop();
    return figures;
}

}  // namespace

HangingReceiverFigures hangingReceiver(const std::string& zentok, int seconds) {
    BenchDevice device;
    SilentListener silent(0, 64);
    TempDir dir;
    writeFile(dir.file("zentok.ini"),
              "coupler;runmode;cycle\ncoupler;readinterval;1\nsource;plant\nadr;modbus;tcp:127.0.0.1:" +
                  std::to_string(device.port()) +
                  "\nnode;a;400001;a {{*}};hook;O:100\nnode;a;400002;b {{*}};log;O:100\n"
                  "receiver;hook\nadr;webhook;http://127.0.0.1:" +
                  std::to_string(silent.port()) +
                  "/hook\ndir;hook\n"
                  "receiver;log\nadr;file;alarms.csv\ndir;log\n");
    WatchedProcess process;
    HangingReceiverFigures figures;
    if (!process.start({zentok, "-i", "zentok.ini"}, dir.path())) return figures;
    process.pump(2000);
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> phaseMs(0, 999);
    std::vector<double> latencies;
    long readsBefore = device.reads(2);
    auto start = Clock::now();
    const std::string alarms = dir.file("alarms.csv");
    for (int round = 0; msSince(start) < seconds * 1000.0; ++round) {
        // Node a rises and falls every 2 s; node b rises at a random moment of
        // every third second and falls 1.5 s later.
        device.set(1, round % 2 ? 0 : 200);
        process.pump(phaseMs(random));
        std::string before = fileExists(alarms) ? readFile(alarms) : "";
        device.set(2, 200);
        auto rose = Clock::now();
        ++figures.alarms;
        bool seen = false;
        while (msSince(rose) < 1500) {
            process.pump(2);
            if (!seen && fileExists(alarms) && readFile(alarms).size() > before.size()) {
                latencies.push_back(msSince(rose));
                seen = true;
            }
        }
        device.set(2, 0);
        process.pump(1500);
    }
    double elapsedMinutes = msSince(start) / 60000.0;
    if (!process.running()) return figures;
    figures.readsPerMinute = static_cast<double>(device.reads(2) - readsBefore) / elapsedMinutes;
    figures.alarmsSeen = static_cast<int>(latencies.size());
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        figures.slowestAlarmMs = latencies.back();
        figures.medianAlarmMs = latencies[latencies.size() / 2];
    }
    process.stop();
    return figures;
}

BacklogFigures refusedBacklog(const std::string& zentok, int seconds) {
    // A port nothing listens on: every connection is refused at once.
    return watchBacklog(zentok, freeLoopbackPort(), 86400, seconds);
}

BacklogFigures hangingDrain(const std::string& zentok, int seconds) {
    SilentListener silent(0, 1024);
    return watchBacklog(zentok, silent.port(), 0, seconds);
}

// The time from the read that sees a register rise to the notice's line in a
// file receiver: the path of an alarm through the outbox and the states file,
// beside the time of one synced write on the same disk. Each build of zentok
// runs the same rises in turn.
//
//   bench_handover [--zentok LABEL=PATH]... [--rises N]
//
// Without --zentok the zentok of this build tree is measured, labelled "after".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "process/BenchDevice.h"
#include "process/WatchedProcess.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRiseValue = 200;
constexpr int kWaitLimitMs = 3000;

struct Build {
    std::string label;
    std::string path;
};

struct Spread {
    double p50 = -1, p99 = -1;
    int samples = 0;
};

Spread spreadOf(std::vector<double> ms) {
    Spread spread;
    spread.samples = static_cast<int>(ms.size());
    if (ms.empty()) return spread;
    std::sort(ms.begin(), ms.end());
    spread.p50 = ms[ms.size() / 2];
    spread.p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    return spread;
}

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

int64_t sizeOf(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

// Polls at a few microseconds: the figures are a few milliseconds, so a
// wake-up on a notification would add more than it spares.
template <typename Done>
bool spinUntil(Done done, Clock::time_point* at) {
    auto start = Clock::now();
    while (!done()) {
        if (msBetween(start, Clock::now()) > kWaitLimitMs) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    *at = Clock::now();
    return true;
}

// One record appended and its data synced, as often as asked: what one
// synced write costs on the disk the program's files are on.
Spread syncedWrites(const std::string& dir, int count) {
    std::string path = dir + "/synced.csv";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    std::vector<double> ms;
    const std::string record(160, 'x');
    for (int i = 0; fd >= 0 && i < count; ++i) {
        auto start = Clock::now();
        if (::write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size()) ||
            ::fdatasync(fd) != 0)
            break;
        ms.push_back(msBetween(start, Clock::now()));
    }
    if (fd >= 0) ::close(fd);
    return spreadOf(ms);
}

// A register that rises to kRiseValue and falls again, read without pause;
// each rise is one notice to the file receiver.
Spread handOvers(const Build& build, int rises) {
    BenchDevice device;
    TempDir dir;
    writeFile(dir.file("zentok.ini"),
              "coupler;runmode;cycle\ncoupler;readinterval;0\ncoupler;loglevel;1\nsource;plant\n"
              "adr;modbus;tcp:127.0.0.1:" +
                  std::to_string(device.port()) +
                  "\nnode;a;400001;rise {{*}};log;O:100\nreceiver;log\nadr;file;alarms.csv\ndir;log\n");
    WatchedProcess process;
    std::vector<double> ms;
    if (!process.start({build.path, "-i", "zentok.ini"}, dir.path())) return spreadOf(ms);
    process.pump(1500);
    const std::string alarms = dir.file("alarms.csv");
    for (int i = 0; i < rises && process.running(); ++i) {
        int64_t before = sizeOf(alarms);
        device.set(1, kRiseValue);
        Clock::time_point read, written;
        if (!spinUntil([&] { return device.served(1) == kRiseValue; }, &read) ||
            !spinUntil([&] { return sizeOf(alarms) > before; }, &written))
            break;
        ms.push_back(msBetween(read, written));
        device.set(1, 0);
        process.pump(150);  // the fall is read and the states file settles
    }
    process.stop();
    return spreadOf(ms);
}

void printRow(const char* what, const Spread& spread) {
    std::printf("| %s | %d | %.2f | %.2f |\n", what, spread.samples, spread.p50, spread.p99);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Build> builds;
    int rises = 200;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* equals = i + 1 < argc ? std::strchr(argv[i + 1], '=') : nullptr;
        if (arg == "--zentok" && equals) {
            std::string value = argv[++i];
            builds.push_back({value.substr(0, value.find('=')), value.substr(value.find('=') + 1)});
        } else if (arg == "--rises" && i + 1 < argc) {
            rises = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--zentok LABEL=PATH]... [--rises N]\n", argv[0]);
            return 2;
        }
    }
    if (builds.empty()) builds.push_back({"after", std::string(ZENTOK_BINARY_DIR) + "/zentok"});
    TempDir disk;
    std::printf("| path | samples | p50 ms | p99 ms |\n|---|---|---|---|\n");
    printRow("one synced write (append, fdatasync)", syncedWrites(disk.path(), rises));
    for (const Build& build : builds) {
        std::string what = "deciding read to the line in the file, " + build.label;
        printRow(what.c_str(), handOvers(build, rises));
    }
    return 0;
}

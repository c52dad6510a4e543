// A fleet on one machine, side by side with Node-RED, in one run:
//   1. the job: D devices (100), each a plantsim read five registers a second,
//      a file line on each crossing of the level threshold; done first by D
//      couplers (one per device, each in its own working directory as the
//      template unit gives them), then by one Node-RED process with
//      node-red-contrib-modbus reading the same devices;
//   2. the fleet: N couplers (500), one per plantsim, each with the same
//      nodes and one MQTT receiver, all publishing to one mosquitto.
// Each stage is measured over a window: CPU time (utime + stime of every
// thread, from /proc), private memory (Private_Clean + Private_Dirty of
// smaps_rollup), wake-ups (voluntary and involuntary context switches of
// every thread) and alarm latency: from the plantsim's answer that first
// shows the level over the threshold (the deciding read, which plantsim
// logs with --crossings) to the file line (seen by inotify) or to the
// notice's arrival at a subscriber of the broker (the broker forwards it as
// it sends the PUBACK). The table at the end puts every figure beside its
// target.
//
//   bench_fleet [--couplers N] [--devices D] [--seconds S] [--no-nodered]
#include <dirent.h>
#include <mosquitto.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;

int64_t wallMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> threadsOf(pid_t pid) {
    std::vector<std::string> tasks;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d) return tasks;
    while (dirent* entry = readdir(d))
        if (entry->d_name[0] != '.') tasks.push_back(dir + "/" + entry->d_name);
    closedir(d);
    return tasks;
}

// CPU seconds and context switches of every thread of a process.
struct Usage {
    double cpu = 0;
    double wakeups = 0;
};

Usage usageOf(pid_t pid) {
    Usage usage;
    double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (const std::string& task : threadsOf(pid)) {
        std::string stat = slurp(task + "/stat");
        size_t close = stat.rfind(')');
        if (close != std::string::npos) {
            std::istringstream fields(stat.substr(close + 2));
            std::string field;
            for (int i = 3; fields >> field && i <= 15; ++i)
                if (i == 14 || i == 15) usage.cpu += std::atof(field.c_str()) / tick;  // utime, stime
        }
        std::istringstream status(slurp(task + "/status"));
        std::string name;
        double value = 0;
        while (status >> name)
            if (name == "voluntary_ctxt_switches:" || name == "nonvoluntary_ctxt_switches:") {
                status >> value;
                usage.wakeups += value;
            }
    }
    return usage;
}

double privateKiB(pid_t pid) {
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/smaps_rollup"));
    std::string name, unit;
    double value = 0, total = 0;
    while (in >> name)
        if (name == "Private_Clean:" || name == "Private_Dirty:") {
            in >> value >> unit;
            total += value;
        }
    return total;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(std::ceil(p / 100.0 * values.size()));
    return values[std::min(at > 0 ? at - 1 : 0, values.size() - 1)];
}

// Arrivals of alarms, by device, with their wall-clock time.
class Arrivals {
  public:
    void add(int device, int64_t ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.emplace_back(device, ms);
    }
    std::vector<std::pair<int, int64_t>> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::pair<int, int64_t>> taken;
        taken.swap(seen_);
        return taken;
    }

  private:
    std::mutex mutex_;
    std::vector<std::pair<int, int64_t>> seen_;
};

// Watches one file per device (device i: dirs[i] + "/" + name) and notes
// the time each is written.
class FileLines {
  public:
    FileLines(const std::vector<std::string>& dirs, const std::string& name, Arrivals* arrivals)
        : name_(name), arrivals_(arrivals) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        for (size_t i = 0; i < dirs.size(); ++i)
            watches_[inotify_add_watch(fd_, dirs[i].c_str(), IN_MODIFY | IN_CREATE)] = static_cast<int>(i);
        thread_ = std::thread([this] { run(); });
    }
    ~FileLines() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }

  private:
    void run() {
        alignas(inotify_event) char buffer[16384];
        while (!stop_) {
            ssize_t length = read(fd_, buffer, sizeof buffer);
            if (length <= 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
                continue;
            }
            int64_t now = wallMs();
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (event->len == 0 || name_ != event->name || !(event->mask & IN_MODIFY)) continue;
                auto found = watches_.find(event->wd);
                if (found != watches_.end()) arrivals_->add(found->second, now);
            }
        }
    }

    std::string name_;
    Arrivals* arrivals_;
    int fd_ = -1;
    std::map<int, int> watches_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Subscribes to fleet/+ and notes when each notice arrives.
class Subscriber {
  public:
    Subscriber(int port, Arrivals* arrivals) : arrivals_(arrivals) {
        mosquitto_lib_init();
        client_ = mosquitto_new("bench-fleet-subscriber", true, this);
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message) {
            static_cast<Subscriber*>(self)->arrived(message);
        });
        mosquitto_connect_callback_set(client_, [](mosquitto* client, void*, int) {
            mosquitto_subscribe(client, nullptr, "fleet/+", 1);
        });
        mosquitto_connect(client_, "127.0.0.1", port, 30);
        mosquitto_loop_start(client_);
    }
    ~Subscriber() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, true);
        mosquitto_destroy(client_);
    }

  private:
    void arrived(const mosquitto_message* message) {
        int64_t now = wallMs();
        const char* topic = message->topic;
        if (std::strncmp(topic, "fleet/c", 7) != 0) return;
        arrivals_->add(std::atoi(topic + 7), now);
    }

    Arrivals* arrivals_;
    mosquitto* client_ = nullptr;
};

struct StageFigures {
    std::string name;
    int processes = 0;
    double cpuPercent = 0;  // of one core, all processes together
    double privateKiBTotal = 0;
    double privateKiBMedian = 0, privateKiBMax = 0;
    double wakeupsPerSecond = 0;
    std::vector<double> latencyMs;
    int alarms = 0, unmatched = 0;
};

struct Plants {
    TempDir root;
    std::vector<std::unique_ptr<Process>> processes;
    std::vector<int> ports;

    std::string crossings(int i) const { return root.file("crossings" + std::to_string(i) + ".txt"); }

    // Plant i starts at its own scenario time, so the crossings of the first
    // `spread` plants (the job's) spread over the minute of a plant cycle,
    // and those of all of them (the fleet's) as well.
    static double startTime(int i, int spread, int count) {
        return std::fmod(60.0 * i / spread, 60.0) + (i / spread) * 60.0 / count;
    }

    bool start(int count, int spread) {
        for (int i = 0; i < count; ++i) {
            int port = freeLoopbackPort();
            auto plant = std::make_unique<Process>();
            if (!plant->start({binaryPath("tools/plantsim/plantsim"), "--port", std::to_string(port),
                               "--start", std::to_string(startTime(i, spread, count)), "--lifetime", "7200",
                               "--crossings", crossings(i)},
                              "/dev/null") ||
                !waitForPort(port, 10000))
                return false;
            processes.push_back(std::move(plant));
            ports.push_back(port);
        }
        return true;
    }

    // The deciding reads of device i: the times its plantsim first answered
    // with the level over the threshold.
    std::vector<int64_t> decidingReads(int i) const {
        std::vector<int64_t> times;
        std::istringstream in(slurp(crossings(i)));
        long long ms = 0;
        while (in >> ms) times.push_back(ms);
        return times;
    }
};

// Latency of each arrival from the last deciding read of its device before
// it; an arrival with none within 5 s is counted as unmatched.
void matchLatencies(const Plants& plants, const std::vector<std::pair<int, int64_t>>& arrivals,
                    StageFigures* figures) {
    std::map<int, std::vector<int64_t>> reads;
    for (const auto& arrival : arrivals) {
        auto& deciding = reads[arrival.first];
        if (deciding.empty()) deciding = plants.decidingReads(arrival.first);
        auto after = std::upper_bound(deciding.begin(), deciding.end(), arrival.second);
        ++figures->alarms;
        if (after == deciding.begin() || arrival.second - *(after - 1) > 5000) {
            ++figures->unmatched;
            continue;
        }
        figures->latencyMs.push_back(static_cast<double>(arrival.second - *(after - 1)));
    }
}

// Measures the processes over `seconds`, with the alarms that arrive meanwhile.
void measure(const std::vector<pid_t>& pids, int seconds, Arrivals& arrivals, const Plants& plants,
             StageFigures* figures) {
    figures->processes = static_cast<int>(pids.size());
    std::vector<Usage> before;
    for (pid_t pid : pids) before.push_back(usageOf(pid));
    arrivals.take();
    Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> memory;
    double cpu = 0, wakeups = 0;
    for (size_t i = 0; i < pids.size(); ++i) {
        Usage after = usageOf(pids[i]);
        cpu += after.cpu - before[i].cpu;
        wakeups += after.wakeups - before[i].wakeups;
        memory.push_back(privateKiB(pids[i]));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the last crossings' lines
    figures->cpuPercent = 100.0 * cpu / wall;
    figures->wakeupsPerSecond = wakeups / wall;
    for (double kib : memory) figures->privateKiBTotal += kib;
    figures->privateKiBMedian = percentile(memory, 50);
    figures->privateKiBMax = percentile(memory, 100);
    matchLatencies(plants, arrivals.take(), figures);
}

// Five holding registers, an alarm on the level, and the given receiver.
std::string couplerConfig(int plantPort, const std::string& receiver) {
    return "coupler;runmode;cycle\ncoupler;readinterval;1\ncoupler;cycleoffset;auto\ncoupler;retry;"
           "600\nsource;plant\n"
           "adr;modbus;tcp:127.0.0.1:" +
           std::to_string(plantPort) +
           "\nnode;a;400001;Tank level high: {{*}} cm;alarm;O:100\n"
           "node;a;400002\nnode;a;400003\nnode;a;400004\nnode;a;400005\n"
           "receiver;central\n" +
           receiver + "\ndir;alarm\n";
}

struct Couplers {
    TempDir root;
    std::vector<std::unique_ptr<Process>> processes;
    std::vector<std::string> dirs;

    bool start(const Plants& plants, int count, const std::function<std::string(int)>& receiver) {
        for (int i = 0; i < count; ++i) {
            std::string dir = root.file("coupler" + std::to_string(i));
            mkdir(dir.c_str(), 0755);
            writeFile(dir + "/zentok.ini", couplerConfig(plants.ports[i], receiver(i)));
            auto coupler = std::make_unique<Process>();
            if (!coupler->start({zentokBinary(), "-i", "zentok.ini"}, dir + "/console.log", dir))
                return false;
            processes.push_back(std::move(coupler));
            dirs.push_back(dir);
        }
        return true;
    }
    std::vector<pid_t> pids() const {
        std::vector<pid_t> all;
        for (const auto& process : processes) all.push_back(process->pid());
        return all;
    }
};

// The same job in one Node-RED: per device a Modbus client, a read of the
// five registers every second, and a function that passes on a crossing,
// into a file node that appends the line to the device's own file.
std::string noderedFlow(const Plants& plants, int devices, const std::string& outDir) {
    std::string flow = "[{\"id\":\"tab\",\"type\":\"tab\",\"label\":\"fleet\"}";
    for (int i = 0; i < devices; ++i) {
        std::string n = std::to_string(i);
        flow +=
            ",{\"id\":\"client" + n + "\",\"type\":\"modbus-client\",\"name\":\"plant" + n +
            "\",\"clienttype\":\"tcp\",\"bufferCommands\":true,\"stateLogEnabled\":false,"
            "\"queueLogEnabled\":false,\"failureLogEnabled\":false,\"tcpHost\":\"127.0.0.1\",\"tcpPort\":\"" +
            std::to_string(plants.ports[i]) +
            "\",\"tcpType\":\"DEFAULT\",\"serialPort\":\"\",\"serialType\":\"RTU-BUFFERD\","
            "\"serialBaudrate\":\"9600\",\"serialDatabits\":\"8\",\"serialStopbits\":\"1\","
            "\"serialParity\":\"none\",\"serialConnectionDelay\":\"100\",\"unit_id\":\"1\","
            "\"commandDelay\":\"1\",\"clientTimeout\":\"1000\",\"reconnectOnTimeout\":true,"
            "\"reconnectTimeout\":\"2000\",\"parallelUnitIdsAllowed\":true}";
        flow += ",{\"id\":\"read" + n +
                "\",\"type\":\"modbus-read\",\"z\":\"tab\",\"name\":\"\",\"topic\":\"\","
                "\"showStatusActivities\":false,\"logIOActivities\":false,\"showErrors\":false,"
                "\"showWarnings\":false,\"unitid\":\"\",\"dataType\":\"HoldingRegister\",\"adr\":\"1\","
                "\"quantity\":\"5\",\"rate\":\"1\",\"rateUnit\":\"s\",\"delayOnStart\":false,"
                "\"startDelayTime\":\"\",\"server\":\"client" +
                n +
                "\",\"useIOFile\":false,\"ioFile\":\"\",\"useIOForPayload\":false,\"emptyMsgOnFail\":false,"
                "\"wires\":[[\"cross" +
                n + "\"],[]]}";
        flow +=
            ",{\"id\":\"cross" + n +
            "\",\"type\":\"function\",\"z\":\"tab\",\"name\":\"\",\"func\":\"const level = msg.payload[0];"
            "\\nconst high = level > 100;\\nconst was = context.get('high');\\ncontext.set('high', high);"
            "\\nif (!high || was !== false) return null;\\nmsg.filename = '" +
            outDir + "/device" + n +
            "/alarms.txt';\\nmsg.payload = 'Tank level high: ' + level + ' cm';\\nreturn msg;\","
            "\"outputs\":1,\"timeout\":0,\"noerr\":0,\"initialize\":\"context.set('high', true);\","
            "\"finalize\":\"\",\"libs\":[],\"wires\":[[\"file" +
            n + "\"]]}";
        flow +=
            ",{\"id\":\"file" + n +
            "\",\"type\":\"file\",\"z\":\"tab\",\"name\":\"\",\"filename\":\"filename\","
            "\"filenameType\":\"msg\",\"appendNewline\":true,\"createDir\":false,\"overwriteFile\":\"false\","
            "\"encoding\":\"none\",\"wires\":[[]]}";
    }
    return flow + "]\n";
}

bool startNodeRed(Process& nodered, const TempDir& dir, const Plants& plants, int devices) {
    std::string modules = sourcePath("bench/nodered/node_modules");
    if (!fileExists(modules + "/node-red/red.js") ||
        !fileExists(modules + "/node-red-contrib-modbus/package.json")) {
        std::fprintf(stderr,
                     "bench_fleet: Node-RED is not installed: run scripts/install-deps (bench/nodered)\n");
        return false;
    }
    for (int i = 0; i < devices; ++i) mkdir(dir.file("device" + std::to_string(i)).c_str(), 0755);
    writeFile(dir.file("flows.json"), noderedFlow(plants, devices, dir.path()));
    int port = freeLoopbackPort();
    // No editor, no admin API, no credentials, on loopback only; the modules
    // come from the bench's folder.
    writeFile(dir.file("settings.js"),
              "module.exports = {\n  uiHost: '127.0.0.1',\n  uiPort: " + std::to_string(port) +
                  ",\n  httpAdminRoot: false,\n  httpNodeRoot: false,\n  disableEditor: true,\n"
                  "  credentialSecret: false,\n  flowFile: 'flows.json',\n  userDir: '" +
                  dir.path() +
                  "',\n  diagnostics: { enabled: false },\n  runtimeState: { enabled: false },\n"
                  "  telemetry: { enabled: false },\n  externalModules: { autoInstall: false },\n"
                  "  logging: { console: { level: 'warn', metrics: false, audit: false } },\n"
                  "  functionExternalModules: false,\n};\n");
    // The contributed nodes are found in the userDir's node_modules.
    if (symlink(modules.c_str(), dir.file("node_modules").c_str()) != 0) return false;
    writeFile(dir.file("package.json"),
              "{\"name\":\"fleet-bench\",\"version\":\"1.0.0\",\"private\":true,"
              "\"dependencies\":{\"node-red-contrib-modbus\":\"5.23.3\"}}\n");
    return nodered.start({"/usr/bin/env", "node", modules + "/node-red/red.js", "--settings",
                          dir.file("settings.js"), "--userDir", dir.path(), dir.file("flows.json")},
                         dir.file("nodered.log"), dir.path());
}

void printStage(const StageFigures& s) {
    std::printf(
        "%-28s %4d procs  CPU %6.2f %% of a core  private %8.0f KiB (median %6.0f, max %6.0f)  "
        "wake-ups %7.0f/s  alarms %d (unmatched %d)  latency p50 %.0f ms p99 %.0f ms\n",
        s.name.c_str(), s.processes, s.cpuPercent, s.privateKiBTotal, s.privateKiBMedian, s.privateKiBMax,
        s.wakeupsPerSecond, s.alarms, s.unmatched, percentile(s.latencyMs, 50), percentile(s.latencyMs, 99));
}

void row(const char* figure, const char* target, const std::string& value, bool met) {
    std::printf("| %-56s | %-22s | %-24s | %-4s |\n", figure, target, value.c_str(), met ? "met" : "NOT");
}

__attribute__((format(printf, 1, 2))) std::string format(const char* pattern, ...) {
    char text[128];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

void printTargets(const StageFigures& job, const StageFigures* red, const StageFigures& fleet) {
    std::printf("\n| %-56s | %-22s | %-24s | %-4s |\n", "Figure", "Target", "Measured", "");
    std::printf("|%s|%s|%s|%s|\n", std::string(58, '-').c_str(), std::string(24, '-').c_str(),
                std::string(26, '-').c_str(), std::string(6, '-').c_str());
    if (red) {
        double cpu = job.cpuPercent / red->cpuPercent, memory = job.privateKiBTotal / red->privateKiBTotal,
               wakeups = job.wakeupsPerSecond / red->wakeupsPerSecond;
        row("job: couplers' CPU / Node-RED's", "<= 1.0x",
            format("%.2fx (%.2f / %.2f %%)", cpu, job.cpuPercent, red->cpuPercent), cpu <= 1.0);
        row("job: couplers' private memory / Node-RED's", "<= 1.0x",
            format("%.2fx (%.0f / %.0f MiB)", memory, job.privateKiBTotal / 1024,
                   red->privateKiBTotal / 1024),
            memory <= 1.0);
        row("job: couplers' wake-ups / Node-RED's", "<= 3x",
            format("%.2fx (%.0f / ", wakeups, job.wakeupsPerSecond) +
                format("%.0f per s)", red->wakeupsPerSecond),
            wakeups <= 3.0);
        row("job: Node-RED latency, deciding read to line, p50/p99", "(beside)",
            format("%.0f / %.0f ms", percentile(red->latencyMs, 50), percentile(red->latencyMs, 99)), true);
    }
    double p50 = percentile(job.latencyMs, 50), p99 = percentile(job.latencyMs, 99);
    row("job: couplers' latency, deciding read to line, p50/p99", "<= 5 / <= 20 ms",
        format("%.0f / %.0f ms", p50, p99), p50 <= 5 && p99 <= 20 && job.unmatched == 0);
    p50 = percentile(fleet.latencyMs, 50), p99 = percentile(fleet.latencyMs, 99);
    row("fleet: latency, deciding read to the broker, p50/p99", "<= 5 / <= 20 ms",
        format("%.0f / %.0f ms", p50, p99), p50 <= 5 && p99 <= 20 && fleet.unmatched == 0);
    row("fleet: CPU of all couplers at 1 s", "<= 25 % of a core", format("%.2f %%", fleet.cpuPercent),
        fleet.cpuPercent <= 25.0);
    row("fleet: private memory per coupler, median / max", "<= 1.5 MB (1536 KiB)",
        format("%.0f / %.0f KiB", fleet.privateKiBMedian, fleet.privateKiBMax), fleet.privateKiBMax <= 1536);
}

// Every coupler watches its configuration with an inotify instance of its
// own, and here all run as one user: past the user's limit the rest fall
// back to looking at their file once a second, which is not how a fleet of
// units with a user each runs.
void warnOfInotifyLimit(int couplers) {
    int limit = std::atoi(slurp("/proc/sys/fs/inotify/max_user_instances").c_str());
    if (limit > 0 && limit < couplers + 16)
        std::printf(
            "bench_fleet: fs.inotify.max_user_instances is %d, below %d couplers and the bench's own: "
            "raise it first (sudo sysctl -w fs.inotify.max_user_instances=%d)\n",
            limit, couplers, couplers * 2 + 64);
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int count = 500, devices = 100, seconds = 120;
    bool withNodeRed = true;
    for (int i = 1; i < argc; ++i) {
        bool value = i + 1 < argc;
        if (value && std::strcmp(argv[i], "--couplers") == 0)
            count = std::atoi(argv[++i]);
        else if (value && std::strcmp(argv[i], "--devices") == 0)
            devices = std::atoi(argv[++i]);
        else if (value && std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--no-nodered") == 0)
            withNodeRed = false;
    }
    devices = std::min(devices, count);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each stage's line as it ends, also into a file
    raiseDescriptorLimit();                    // 500 couplers, 500 plantsims and their pipes
    warnOfInotifyLimit(count);
    Plants plants;
    if (!plants.start(count, devices)) {
        std::fprintf(stderr, "bench_fleet: the plantsims did not start\n");
        return 1;
    }
    std::printf(
        "bench_fleet: %d plantsims; the job on %d devices, then the fleet of %d couplers; %d s each\n", count,
        devices, count, seconds);
    Arrivals arrivals;

    StageFigures job;
    job.name = "job: couplers, file line";
    {
        Couplers couplers;
        if (!couplers.start(plants, devices, [](int) { return std::string("adr;file;alarms.txt"); }))
            return 1;
        FileLines lines(couplers.dirs, "alarms.txt", &arrivals);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        measure(couplers.pids(), seconds, arrivals, plants, &job);
    }
    printStage(job);

    StageFigures red;
    red.name = "job: one Node-RED, file line";
    if (withNodeRed) {
        TempDir dir;
        Process nodered;
        if (!startNodeRed(nodered, dir, plants, devices)) return 1;
        std::vector<std::string> dirs;
        for (int i = 0; i < devices; ++i) dirs.push_back(dir.file("device" + std::to_string(i)));
        FileLines lines(dirs, "alarms.txt", &arrivals);
        std::this_thread::sleep_for(std::chrono::seconds(20));  // node starts more slowly
        if (!nodered.running()) {
            std::fprintf(stderr, "bench_fleet: Node-RED ended; see its log:\n%s\n",
                         slurp(dir.file("nodered.log")).c_str());
            return 1;
        }
        measure({nodered.pid()}, seconds, arrivals, plants, &red);
        printStage(red);
    }

    StageFigures fleet;
    fleet.name = "fleet: couplers, MQTT";
    {
        Process broker;
        TempDir dir;
        int brokerPort = freeLoopbackPort();
        writeFile(dir.file("mosquitto.conf"), "listener " + std::to_string(brokerPort) +
                                                  " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                                                  "max_connections -1\n");
        if (!broker.start(
                {"/usr/bin/timeout", "7200", "/usr/sbin/mosquitto", "-c", dir.file("mosquitto.conf")},
                dir.file("broker.log")) ||
            !waitForPort(brokerPort, 10000)) {
            std::fprintf(stderr, "bench_fleet: mosquitto did not start\n");
            return 1;
        }
        Subscriber subscriber(brokerPort, &arrivals);
        Couplers couplers;
        auto mqtt = [brokerPort](int i) {
            return "adr;mqtt;mqtt://127.0.0.1:" + std::to_string(brokerPort) + "/fleet/c" + std::to_string(i);
        };
        if (!couplers.start(plants, count, mqtt)) return 1;
        std::this_thread::sleep_for(std::chrono::seconds(10));
        measure(couplers.pids(), seconds, arrivals, plants, &fleet);
    }
    printStage(fleet);
    printTargets(job, withNodeRed ? &red : nullptr, fleet);
    return 0;
}

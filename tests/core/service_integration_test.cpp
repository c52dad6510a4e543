// Zentok as a systemd service, black-box: the sd_notify messages on a
// datagram socket of the test's own, and the journald priority prefixes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/JournalOutput.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// Stands in for systemd's notification socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~NotifySocket() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    // Collects the messages that arrive within `ms`, or until one contains `until`.
    void collect(int ms, const std::string& until = "") {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buffer[4096];
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) continue;
            messages.emplace_back(buffer, static_cast<size_t>(n));
            if (!until.empty() && messages.back().find(until) != std::string::npos) return;
        }
    }
    int count(const std::string& part) const {
        int n = 0;
        for (const auto& m : messages) n += m.find(part) != std::string::npos;
        return n;
    }
    // Index of the first message at or after `from` containing `part`, or -1.
    int find(const std::string& part, int from = 0) const {
        for (size_t i = static_cast<size_t>(from); i < messages.size(); ++i)
            if (messages[i].find(part) != std::string::npos) return static_cast<int>(i);
        return -1;
    }

    std::vector<std::string> messages;

  private:
    int fd_ = -1;
};

// Sets environment variables for the children started while it lives.
class ScopedEnv {
  public:
    ScopedEnv(std::vector<std::pair<std::string, std::string>> vars) : vars_(std::move(vars)) {
        for (const auto& [name, value] : vars_) setenv(name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnv() {
        for (const auto& v : vars_) unsetenv(v.first.c_str());
    }

  private:
    std::vector<std::pair<std::string, std::string>> vars_;
};

void touchLater(const std::string& path) {
    struct timespec times[2] = {{0, UTIME_NOW}, {time(nullptr) + 5, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string journalStreamOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

}  // namespace

TEST(Service, NotifiesReadinessWatchdogStatusReloadAndStop) {
    TempDir dir;
    NotifySocket notify(dir.file("notify"));
    ASSERT_TRUE(notify.ok());
    std::string ini = dir.file("s.ini");
    // The stray dir line prints a message during each load.
    writeFile(ini, "coupler;runmode;cycle\ncoupler;readinterval;1\ndir;x\n");
    std::string log = dir.file("out.log");
    Process zentok;
    {
        ScopedEnv env({{"NOTIFY_SOCKET", dir.file("notify")}, {"WATCHDOG_USEC", "200000"}});
        ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "s.ini"}, log, dir.path()));
    }
    notify.collect(5000, "READY=1");
    ASSERT_EQ(notify.find("READY=1"), 0) << "readiness comes first";
    EXPECT_EQ(countOf(readFile(log), "*** line ignored 'dir'\n"), 1) << "and only after the load";

    notify.collect(1500);
    // A tick every 100 ms: about 15 in 1.5 s; a loose bound against a busy machine.
    EXPECT_GE(notify.count("WATCHDOG=1"), 6);
    EXPECT_GE(notify.find("STATUS=cycles "), 0);
    EXPECT_GE(notify.find("read errors 0, last notification none"), 0);

    touchLater(ini);
    notify.collect(5000, "READY=1");
    int reloading = notify.find("RELOADING=1");
    ASSERT_GE(reloading, 0);
    EXPECT_GT(notify.find("READY=1", reloading), reloading);

    writeFile(ini, "coupler;runmode;single\n");
    touchLater(ini);
    ASSERT_TRUE(zentok.waitForExit(5000));
    notify.collect(500, "STOPPING=1");
    EXPECT_GE(notify.find("STOPPING=1"), 0);
}

// A file that cannot be read must not look like a healthy service.
TEST(Service, NotReadyUntilAConfigurationHasLoaded) {
    TempDir dir;
    NotifySocket notify(dir.file("notify"));
    ASSERT_TRUE(notify.ok());
    Process zentok;
    {
        ScopedEnv env({{"NOTIFY_SOCKET", dir.file("notify")}});
        ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "m.ini"}, dir.file("out.log"), dir.path()));
    }
    notify.collect(1500);
    EXPECT_EQ(notify.count("READY=1"), 0);
    EXPECT_GE(notify.find("STATUS=waiting for configuration: cannot read m.ini: No such file or directory"),
              0);

    writeFile(dir.file("m.ini"), "coupler;runmode;cycle\ncoupler;readinterval;60\n");
    notify.collect(5000, "STATUS=cycles");
    EXPECT_GE(notify.find("READY=1"), 0);
    EXPECT_GE(notify.find("STATUS=cycles 1, "), 0) << "the empty cycle before the load is not counted";
}

TEST(Service, PriorityPrefixesOnlyWhenStandardOutputIsTheJournal) {
    TempDir dir;
    writeFile(dir.file("p.ini"), "dir;x\ncoupler;runmode;daily\n");
    std::string journal = dir.file("journal.log");
    writeFile(journal, "");
    Process zentok;
    {
        ScopedEnv env({{"JOURNAL_STREAM", journalStreamOf(journal)}});
        ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "p.ini"}, journal, dir.path()));
    }
    ASSERT_TRUE(zentok.waitForExit(5000));
    std::string out = readFile(journal);
    EXPECT_EQ(out.rfind("Zentok\n", 0), 0u) << out;
    EXPECT_NE(out.find("\n<4>*** line ignored 'dir'\n<3>*** ini error: runmode\n"), std::string::npos) << out;

    // Standard output is another file than the one JOURNAL_STREAM names: unchanged.
    std::string plain = dir.file("plain.log");
    {
        ScopedEnv env({{"JOURNAL_STREAM", journalStreamOf(journal)}});
        ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "p.ini"}, plain, dir.path()));
    }
    ASSERT_TRUE(zentok.waitForExit(5000));
    out = readFile(plain);
    EXPECT_NE(out.find("\n*** line ignored 'dir'\n*** ini error: runmode\n"), std::string::npos) << out;
    EXPECT_EQ(out.find('<'), std::string::npos) << out;
}

TEST(Service, FailureLinesAreErrorsButNotificationTextsAreNot) {
    const std::pair<const char*, int> lines[] = {
        {"-ModbusRead, no response", kPriorityError},
        {"notifyMail::send, recipient a@b, err 'Timeout was reached'", kPriorityError},
        {"notifyTwitter::notify err 'HTTP 401'", kPriorityError},
        {"read plc: adr MW2, err timeout", kPriorityError},
        {"*** ini file 'x.ini': can't open", kPriorityError},
        {"*** warning: group 'g' has no receiver", kPriorityWarning},
        {"outbox, receiver ops, source p, node n: retry in 20 s", kPriorityWarning},
        {"outbox, receiver ops, source p, node n: given up after 7 attempts", kPriorityError},
        {"outbox file 'zentok_outbox.csv' not writable, err 'No space left on device'", kPriorityError},
        {"notifyMail::notify, source p, node n, text 'pump failed, err 5'", kPriorityNone},
        {"+ModbusRead: 4:1 = 7", kPriorityNone},
        {"2026-12-07 08:00:00 coupler, readinterval 1s completed", kPriorityNone},
    };
    for (const auto& [line, priority] : lines)
        EXPECT_EQ(linePriority(line, std::string(line).size()), priority) << line;
}

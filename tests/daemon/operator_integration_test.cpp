// The operator's commands against build/zentok reading tools/plantsim, frozen
// with the tank full (400001 = 160, 300001 = 230): ack, shelve, escalation,
// status and the test message, each as an operator on call would use it.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "support/MosquittoBroker.h"
#include "support/Peers.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

class OperatorRun : public testing::Test {
  protected:
    void SetUp() override {
        port_ = freeLoopbackPort();
        ASSERT_TRUE(plant_.start({binaryPath("tools/plantsim/plantsim"), "--port", std::to_string(port_),
                                  "--speed", "0", "--start", "30", "--lifetime", "120"},
                                 dir_.file("plantsim.log")));
        ASSERT_TRUE(waitForPort(port_, 10000));
    }

    // The configuration: the plant source, then `rest`.
    void configure(const std::string& rest) {
        writeFile(dir_.file("z.ini"), "coupler;readinterval;1\nsource;plant\nadr;modbus;tcp:127.0.0.1:" +
                                          std::to_string(port_) + "\n" + rest);
    }
    void startZentok(const std::string& log = "run.log") {
        ASSERT_TRUE(zentok_.start({zentokBinary(), "-i", "z.ini"}, dir_.file(log), dir_.path()));
    }
    void stopZentok() {
        kill(zentok_.pid(), SIGTERM);
        ASSERT_TRUE(zentok_.waitForExit(15000));
    }
    RunResult run(std::vector<std::string> args) {
        args.insert(args.end(), {"-i", "z.ini"});
        return runZentokIn(dir_.path(), args, 10000);
    }
    int count(const std::string& file, const std::string& text) {
        return countOf(contentOf(dir_.file(file)), text);
    }
    bool waitFor(const std::string& file, const std::string& text, int times = 1, int timeoutMs = 10000) {
        return waitUntil([&] { return count(file, text) >= times; }, timeoutMs);
    }
    void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    static std::string me() {
        const passwd* entry = getpwuid(getuid());
        return entry ? entry->pw_name : std::to_string(getuid());
    }
    // An operator outside the service's group: root's tests take the user nobody.
    RunResult runAsOutsider(std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return runProgram(argv, dir_.path(), 10000);
    }

    TempDir dir_;
    Process plant_;
    Process zentok_;
    int port_ = 0;
};

TEST_F(OperatorRun, AckStopsTheRemindersReachesTheGroupOnceAndOutlastsARestart) {
    configure(
        "coupler;journal\ncoupler;metrics;metrics.prom\n"
        "node;a;400001;Tank high {{*}};tank;O:100\nalarm;remind=1\n"
        "node;a;300001;Temp {{*}};tank;O:1000\n"
        "receiver;log\nadr;file;log.csv\ndir;tank;acknowledged\n"
        "receiver;quiet\nadr;file;quiet.csv\ndir;tank\n");
    startZentok();
    ASSERT_TRUE(waitFor("log.csv", "\"Tank high 160\"", 2)) << contentOf(dir_.file("run.log"));

    RunResult ack = run({"ack", "400001", "--by", "alice", "--note", "on my way"});
    EXPECT_EQ(ack.exitCode, 0) << ack.output;
    // Beside the name given, the user the system knows as the one who asked.
    const std::string who = "alice (user " + me() + ")";
    EXPECT_NE(ack.output.find("acknowledged by " + who), std::string::npos) << ack.output;
    ASSERT_TRUE(waitFor("log.csv", "Acknowledged by " + who + " (on my way): Tank high 160"));
    int reminders = count("quiet.csv", "\"Tank high 160\"");
    EXPECT_EQ(run({"ack", "400001"}).exitCode, 0) << "a second ack changes nothing and says so";
    RunResult noAlarm = run({"ack", "300001"});
    EXPECT_EQ(noAlarm.exitCode, 1);
    EXPECT_NE(noAlarm.output.find("no active alarm"), std::string::npos) << noAlarm.output;
    EXPECT_EQ(run({"ack", "400009"}).exitCode, 1);
    pause(3000);
    EXPECT_EQ(count("zentok_journal.csv", ";acknowledged;"), 1) << contentOf(dir_.file("zentok_journal.csv"));
    EXPECT_EQ(count("zentok_journal.csv", "\"" + who + "\""), 1);
    auto status = nlohmann::json::parse(run({"status", "--json"}).output);
    EXPECT_EQ(status["nodes"][0]["acknowledged_owner"], me());
    EXPECT_EQ(count("metrics.prom", "node=\"400001\",state=\"acknowledged\"} 1"), 1)
        << contentOf(dir_.file("metrics.prom"));
    stopZentok();
    EXPECT_NE(contentOf(dir_.file("zentok_states.csv")).find("\"alice\";\"on my way\""), std::string::npos);
    startZentok("rerun.log");
    pause(3000);
    EXPECT_EQ(count("quiet.csv", "\"Tank high 160\""), reminders)
        << "no reminder after the ack, nor after a restart";
    EXPECT_EQ(count("log.csv", "Acknowledged by"), 1);
    EXPECT_EQ(count("quiet.csv", "Acknowledged by"), 0) << "the acknowledged notice is opt-in";
}

TEST_F(OperatorRun, ShelveSilencesItsEndIsAnnouncedAndItWaitsForAStoppedZentok) {
    configure(
        "coupler;maxshelve;1h\nnode;a;400001;Tank high {{*}};tank;O:100\nalarm;remind=1\n"
        "receiver;log\nadr;file;log.csv\ndir;tank\n");
    startZentok();
    ASSERT_TRUE(waitFor("log.csv", "Tank high 160"));
    for (const char* bad : {"0", "-5m", "99999h", "2h", "soon"}) {
        RunResult refused = run({"shelve", "400001", bad});
        EXPECT_EQ(refused.exitCode, 1) << bad << refused.output;
        EXPECT_NE(refused.output.find("nothing changed"), std::string::npos) << refused.output;
    }
    RunResult shelve = run({"shelve", "400001", "3s", "--note", "pump swap"});
    ASSERT_EQ(shelve.exitCode, 0) << shelve.output;
    const std::string plain = "\"Tank high 160\"";
    int before = count("log.csv", plain);
    ASSERT_TRUE(waitFor("log.csv", "Shelve ended, still active: Tank high 160"));
    std::string log = contentOf(dir_.file("log.csv"));
    EXPECT_EQ(countOf(log.substr(0, log.find("Shelve ended")), plain), before)
        << "nothing while shelved" << log;
    EXPECT_EQ(count("log.csv", "Shelve ended"), 1);
    ASSERT_TRUE(waitFor("log.csv", plain, before + 2)) << "reminders come again";
    EXPECT_EQ(run({"unshelve", "400001"}).exitCode, 1) << "not shelved any more";

    stopZentok();
    RunResult waiting = run({"shelve", "400001", "30m"});
    EXPECT_EQ(waiting.exitCode, 3) << waiting.output;
    EXPECT_NE(waiting.output.find("no Zentok is answering"), std::string::npos) << waiting.output;
    // An ack for the alarm of now that waits for a start where that alarm
    // has ended (the states file lost it: the node fires anew).
    EXPECT_EQ(run({"ack", "400001", "--by", "bob"}).exitCode, 3);
    std::remove(dir_.file("zentok_states.csv").c_str());
    startZentok("rerun.log");
    ASSERT_TRUE(waitUntil([&] { return count("rerun.log", "shelved until") == 1; }, 10000));
    int atRestart = count("log.csv", plain);
    pause(2500);
    EXPECT_EQ(count("log.csv", plain), atRestart)
        << "the waiting shelve holds the reminders" << contentOf(dir_.file("log.csv"))
        << contentOf(dir_.file("rerun.log"));
    EXPECT_EQ(contentOf(dir_.file("zentok_states.csv")).find("\"bob\""), std::string::npos)
        << "the new alarm is not acknowledged";
    EXPECT_EQ(count("rerun.log", "the alarm raised"), 1) << "and the answer says so";

    // A disk the service cannot write (no more bytes for any file): the ack is
    // taken, its answer cannot be written, and the command says just that.
    stopZentok();
    ASSERT_TRUE(
        zentok_.start({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 0; exec " + zentokBinary() + " -i z.ini"},
                      dir_.file("full.log"), dir_.path()));
    pause(2000);
    RunResult full = run({"ack", "400001"});
    EXPECT_EQ(full.exitCode, 3) << full.output;
    EXPECT_NE(full.output.find("Zentok took the request but could not write its answer"), std::string::npos)
        << full.output;
}

TEST_F(OperatorRun, EscalationFiresOnceAfterTheDelayAndNeverAfterAnAck) {
    configure(
        "node;a;400001;Tank high {{*}} {{%state}};tank;O:100\nalarm;remind=1\n"
        "node;a;300001;Temp high {{*}};tank;O:100\n"
        "escalate;tank;4s;lead\n"
        "receiver;log\nadr;file;log.csv\ndir;tank\nreceiver;boss\nadr;file;boss.csv\ndir;lead\n");
    startZentok();
    ASSERT_TRUE(waitFor("log.csv", "Temp high 230"));
    ASSERT_EQ(run({"ack", "300001", "--by", "bob"}).exitCode, 0);
    EXPECT_EQ(count("boss.csv", "Tank high"), 0) << "not before the delay";
    ASSERT_TRUE(waitFor("boss.csv", "Tank high 160 escalated"));
    ASSERT_TRUE(waitFor("boss.csv", "Tank high 160 reminder"))
        << "then the reminders reach the second group too";
    stopZentok();
    startZentok("rerun.log");
    pause(2500);
    EXPECT_EQ(count("boss.csv", "Tank high 160 escalated"), 1) << "once, also across a restart";
    EXPECT_EQ(count("boss.csv", "Temp high"), 0) << "acknowledged in time: never escalated";
}

TEST_F(OperatorRun, StatusShowsEachStateAndChangesNothing) {
    configure(
        "node;a;400001;Tank high;tank;O:100\n"
        "node;a;300001;Temp;tank;O:100\nalarm;on=1h\n"
        "node;a;4:2;Setpoint;tank;O:1000\n"
        "node;a;0:1;Pump;tank;N\n"
        "receiver;log\nadr;file;log.csv\ndir;tank\n");
    startZentok();
    ASSERT_TRUE(waitFor("log.csv", "Pump"));
    ASSERT_EQ(run({"ack", "400001", "--by", "carol"}).exitCode, 0);
    ASSERT_EQ(run({"shelve", "0:1", "1h"}).exitCode, 0);
    std::string before = contentOf(dir_.file("zentok_states.csv"));
    RunResult table = run({"status"});
    ASSERT_EQ(table.exitCode, 0) << table.output;
    RunResult json = run({"status", "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.output;
    EXPECT_EQ(contentOf(dir_.file("zentok_states.csv")), before);
    auto status = nlohmann::json::parse(json.output);
    auto& nodes = status["nodes"];
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(nodes[0]["state"], "active");
    EXPECT_EQ(nodes[0]["acknowledged_by"], "carol");
    EXPECT_EQ(nodes[1]["state"], "pending");
    EXPECT_EQ(nodes[2]["state"], "normal");
    EXPECT_EQ(nodes[2]["value"], "100");
    EXPECT_FALSE(nodes[3]["shelved_until"].is_null());
    EXPECT_EQ(status["source"]["nodes_failing"], 0);
    EXPECT_EQ(status["outbox"]["entries"], 0);
    EXPECT_NE(table.output.find("carol"), std::string::npos) << table.output;
    EXPECT_NE(table.output.find("pending"), std::string::npos) << table.output;

    EXPECT_EQ(runZentokIn(dir_.path(), {"status", "-i", dir_.file("none.ini")}, 10000).exitCode, 1);
}

// What the on-call group may read it reads; a file it cannot read, a device
// that stopped answering and a stopped Zentok are each said, never shown as
// an all-clear.
TEST_F(OperatorRun, StatusTellsUnreadableFilesAnOutageAndAStoppedZentok) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a command as another user";
    configure(
        "coupler;journal\ncoupler;metrics;metrics.prom\n"
        "node;a;400001;Tank high;tank;O:100\nnode;a;300001;Temp;tank;O:1000\n"
        "receiver;log\nadr;file;log.csv\ndir;tank\n");
    ::chmod(dir_.path().c_str(), 0755);
    mode_t umask = ::umask(077);  // the unit's
    startZentok();
    ::umask(umask);
    ASSERT_TRUE(waitFor("log.csv", "Tank high"));
    pause(1500);
    // Read as nobody: the metrics file (node-exporter's), the states file and the journal.
    const std::pair<std::string, std::string> rows[] = {{"cat", "zentok_up 1"},
                                                        {"status", "/zentok_states.csv': Permission denied"},
                                                        {"report", "journal 'zentok_journal.csv'"}};
    for (const auto& [command, says] : rows) {
        RunResult outsider = runAsOutsider(
            command == "cat" ? std::vector<std::string>{"/bin/cat", "metrics.prom"}
                             : std::vector<std::string>{zentokBinary(), command, "-i", "z.ini"});
        EXPECT_EQ(outsider.exitCode, command == "cat" ? 0 : 1) << outsider.output;
        EXPECT_NE(outsider.output.find(says), std::string::npos) << outsider.output;
    }

    plant_.stop();
    pause(3000);
    RunResult outage = run({"status", "--json"});
    EXPECT_EQ(outage.exitCode, 0) << outage.output;
    EXPECT_EQ(nlohmann::json::parse(outage.output)["source"]["nodes_failing"], 2) << outage.output;

    stopZentok();
    RunResult stopped = run({"status"});
    EXPECT_EQ(stopped.exitCode, 3) << stopped.output;
    EXPECT_NE(stopped.output.find("no Zentok is running"), std::string::npos) << stopped.output;
    // A mistake on disk the stopped (or running) Zentok never loaded does not
    // keep the status from the instance's files.
    writeFile(dir_.file("z.ini"), contentOf(dir_.file("z.ini")) + "coupler;runmode;never\n");
    RunResult broken = run({"status"});
    EXPECT_EQ(broken.exitCode, 3) << broken.output;
    EXPECT_NE(broken.output.find("300001"), std::string::npos) << broken.output;
}

TEST_F(OperatorRun, TestDeliversReportsARefusedLoginAndLeavesTheRetainedMqttTopicsAlone) {
    // A server that offers a login only under TLS, with a certificate of its own.
    std::string cert = dir_.file("cert.pem"), key = dir_.file("key.pem");
    ASSERT_EQ(
        std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                     "-subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                     key + "' -out '" + cert + "' >/dev/null 2>&1")
                        .c_str()),
        0);
    PythonPeer smtp("smtp/smtp_peer.py",
                    {"--outdir", dir_.path(), "--cert", cert, "--key", key, "--user", "zentok", "--password",
                     "right", "--require-auth"},
                    60);
    ASSERT_TRUE(smtp.ready());
    configure(
        "node;a;400001;Tank high;tank;O:100\n"
        "receiver;log\nadr;file;log.csv\ndir;tank\nreceiver;mail\nadr;mail;ops@example.org\ndir;tank\n"
        "uplink;smtp;smtp://127.0.0.1:" +
        std::to_string(smtp.port()) + ";zentok;wrong;zentok@plant.example;cafile:" + cert + "\n");
    RunResult file = run({"test", "log"});
    EXPECT_EQ(file.exitCode, 0) << file.output;
    EXPECT_EQ(count("log.csv", "Zentok test message from"), 1);
    RunResult mail = run({"test", "mail"});
    EXPECT_EQ(mail.exitCode, 1) << mail.output;
    EXPECT_NE(mail.output.find("notifyMail::send, recipient ops@example.org, err 'Login denied'"),
              std::string::npos)
        << mail.output;
    EXPECT_EQ(run({"test", "pager"}).exitCode, 1);
    EXPECT_FALSE(fileExists(dir_.file("zentok_states.csv")));
    EXPECT_FALSE(fileExists(dir_.file("zentok_outbox.csv")));

    // No Zentok coming and going: a running one's retained status, last will
    // and node states stay as they are.
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.log();
    configure("receiver;mq\nadr;mqtt;" + broker.url("plant") + "\n");
    EXPECT_EQ(run({"test", "mq"}).exitCode, 0);
    std::string retained = retainedMessages(broker.port(), {"plant/#"});
    EXPECT_EQ(retained.find("plant/"), std::string::npos) << retained;
}

}  // namespace

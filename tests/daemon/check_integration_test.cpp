// "zentok --check": exit statuses, the parser's messages and the warnings, and
// a check that contacts nobody.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/Records.h"
#include "daemon/ConfigCheck.h"
#include "notify/twitter/TwitterClient.h"
#include "support/TestSupport.h"
#include "support/WorkingDirectory.h"

using namespace testsupport;

namespace {

RunResult check(const TempDir& dir, const std::string& content) {
    writeFile(dir.file("c.ini"), content);
    return runZentokIn(dir.path(), {"--check", "-i", "c.ini"});
}

bool connectionWaiting(int listener) {
    pollfd p{listener, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

}  // namespace

TEST(Check, ExampleConfigurationsLoadWithoutWarnings) {
    TempDir dir;
    for (const char* example : {"examples/zentok.ini", "examples/demo.ini", "examples/rtu.ini",
                                "examples/oncall.ini", "examples/sitetools.ini", "examples/plant.ini"}) {
        RunResult r = runZentokIn(dir.path(), {"--check", "-i", sourcePath(example)});
        EXPECT_EQ(r.exitCode, 0) << example << "\n" << r.output;
        EXPECT_NE(r.output.find("': loads, 0 warnings\n"), std::string::npos) << r.output;
    }
    EXPECT_FALSE(fileExists(dir.file("zentok_states.csv")));
    RunResult r = check(dir,
                        "\xEF\xBB\xBF"
                        "coupler;runmode;single\n");
    EXPECT_NE(r.output.find("': loads, 0 warnings\n"), std::string::npos) << "a byte-order mark is skipped\n"
                                                                          << r.output;
}

// One table of broken files: each is a configuration error for the check,
// with a message that names what is wrong and, for a line, its number.
TEST(Check, EachKindOfConfigurationErrorEndsWith78AndItsMessage) {
    TempDir dir;
    std::string nodes, receivers;
    for (int i = 0; i <= kMaxNodes; ++i) nodes += "node;a;MW" + std::to_string(2 * i) + ";t;g;N\n";
    for (int i = 0; i <= kMaxReceivers; ++i) receivers += "receiver;r" + std::to_string(i) + "\ndir;g\n";
    const std::string modbus = "source;plant\nadr;modbus;tcp:127.0.0.1:502\n";
    std::string fullGroupTable;  // every group the table holds, named by dir lines
    for (int i = 0; i < kMaxDirs; ++i) fullGroupTable += "dir;g" + std::to_string(i) + "\n";
    const std::string s7 = "source;plc\nadr;simatic;tcp:127.0.0.1:102:2\n";
    const std::pair<std::string, std::string> cases[] = {
        {"coupler;runmode;daily\n", "*** ini error: runmode\n"},
        {"source;a\nsource;b\n", "*** ini error: source over limit\n"},
        {"source;a\n" + nodes, "*** ini error: nodes over limit\n"},
        {receivers, "*** ini error: receiver over limit\n"},
        // Addresses out of range or with characters that are no part of one.
        {modbus + "node;a;200001;t;g;N\n", "line 3: address '200001' is no modbus address"},
        {modbus + "node;a;4:70000;t;g;N\n", "line 3: address '4:70000' is no modbus address"},
        {modbus + "node;a;4x0001;t;g;N\n", "line 3: address '4x0001' is no modbus address"},
        {modbus + "node;a;abc;t;g;N\n", "line 3: address 'abc' is no modbus address"},
        {modbus + "node;a;999999999;t;g;N\n", "line 3: address '999999999' is no modbus address"},
        {s7 + "node;a;QQ7;t;g;N\n", "line 3: address 'QQ7' is no simatic address"},
        {s7 + "node;a;MX10.3;t;g;N\n", "line 3: address 'MX10.3' is no simatic address"},
        {s7 + "node;a;DB10.DBX2.9;t;g;N\n", "line 3: address 'DB10.DBX2.9' is no simatic address"},
        // Conditions that can never hold.
        {modbus + "node;a;400001;t;g;Q:5\n", "line 3: condition 'Q:5' can never hold: unknown letter"},
        {modbus + "node;a;400001;t;g;O:abc\n", "line 3: condition 'O:abc' can never hold: D, O and U need"},
        {modbus + "node;a;400001;t;g;U\n", "line 3: condition 'U' can never hold: D, O and U need"},
        {modbus + "node;a;400001;t;g;T: 8:00\n", "line 3: condition 'T: 8:00' can never hold: its hours"},
        {modbus + "node;a;400001;t;g;T:25:61\n", "line 3: condition 'T:25:61' can never hold: its hours"},
        {modbus + "node;a;400001;t;g;T:8:61\n", "line 3: condition 'T:8:61' can never hold: its minutes"},
        {modbus + "node;a;400001;t;g;O:3,5\n",
         "line 3: condition 'O:3,5': write a decimal point, not a comma, as O:3.5"},
        // Node and info lines that would vanish.
        {modbus + "node;b;400001;t;g;N\n", "line 3: the second field of a node line must be 'a', not 'b'"},
        {modbus + "info; a;400001;t;g;N\n", "line 3: the second field of a info line must be 'a', not ' a'"},
        {modbus + "node;a;400001;t;g\n",
         "line 3: a node line has 6 fields (node;a;address;message;group;"
         "condition), this one has 5"},
        {modbus + "node;a;\"400001;t;g;N\n", "line 3: a node line has 6 fields"},
        // Sources and receivers.
        {"source;plant\nadr;modbsu;tcp:127.0.0.1\n",
         "line 2: unknown source type 'modbsu' (modbus or simatic)"},
        {"source;plant\nadr;modbus;tcp:127.0.0.1:50x2\n",
         "line 2: port '50x2' is not a number from 1 to 65535"},
        {"receiver;ops\nadr;mail;\ndir;g\n", "line 2: receiver 'ops': empty mail address"},
        // The channels that reach people and fleets.
        {"receiver;ops\nadr;mqtt;mqtt://127.0.0.1:1/plants/+/alarms\n",
         "line 2: mqtt topic 'plants/+/alarms' holds a wildcard (+ or #)"},
        {"receiver;ops\nadr;telegram;@ops\n", "line 2: telegram chat id '@ops' is not a number"},
        {"uplink;telegram;123:abc/x\n", "line 1: uplink;telegram needs the bot token"},
        {"receiver;ops\nadr;exec;notify-send\n", "line 2: exec program 'notify-send' needs an absolute path"},
        {"receiver;ops\nadr;exec;\"/opt/plant tools/notify\"\n",
         "line 2: exec program '\"/opt/plant' starts with a quote: the words of an exec line are split at "
         "every blank"},
        // What loads but leaves an alarm, a receiver or a setting without effect.
        {"coupler;readintervall;5\n", "*** warning: line 1: unknown setting 'coupler;readintervall'"},
        {"receiver;r\ndir;g;acknowleged\n", "*** warning: line 2: unknown setting 'dir;acknowleged'"},
        {"uplink;smpt;smtp://127.0.0.1;u;p;z@example.com\n",
         "*** warning: line 1: unknown setting 'uplink;smpt'"},
        {"receiver;r\ndir;g\nreciever;s\nadr;file;s.csv\n",
         "*** warning: line 3: unknown keyword 'reciever'"},
        {modbus + "node;a;400001;t;lonely;N\n", "*** warning: group 'lonely' has no receiver"},
        {"receiver;idle\nadr;file;alarm.csv\n", "*** warning: receiver 'idle' is in no group"},
        {modbus + "node;a;400001;t;shift;N\nreceiver;r\ndir;shift\nescalate;shift;15m;laed\n",
         "*** warning: escalate from group 'shift' to 'laed': unknown group 'laed', no node or receiver "
         "names it"},
        {modbus + "receiver;r\n" + fullGroupTable + "escalate;g0;15m;laed\n",
         "*** warning: line " + std::to_string(4 + kMaxDirs) +
             ": escalate from group 'g0' to 'laed': unknown group 'laed', no node or receiver names it"},
        // The on-call ladder and its duty windows.
        {modbus + "node;a;400001;t;shift;N\nreceiver;r\ndir;shift\nladder;shift;0:shift;5m:laed\n",
         "*** warning: ladder of group 'shift': unknown group 'laed', no node or receiver names it"},
        {modbus + "node;a;400001;t;shift;N\nreceiver;r\ndir;shift\nladder;shift;0:shift;30m:repeat\n",
         "line 6: repeat needs its maximum, 1 to 100 times, as 30m:repeat:3"},
        {modbus + "node;a;400001;t;shift;N\nreceiver;r\ndir;shift\nwhen;shift;Mon-Fri 07:00-07:00\n",
         "line 6: when;shift: the window 'Mon-Fri 07:00-07:00' never opens"},
        {"receiver;runner\nadr;exec;/nonexistent/notify-ops --now\ndir;g\n",
         "*** warning: receiver 'runner' runs '/nonexistent/notify-ops', which is no executable file here"},
        {"receiver;chat\nadr;telegram;-100200\ndir;g\n",
         "*** warning: receiver 'chat' sends to Telegram, but there is no uplink;telegram line"},
        {"receiver;phone\nadr;ntfy;https://ntfy.example/alarms\nreply;alarms\ndir;g\n",
         "*** warning: receiver 'phone': the ntfy reply topic 'alarms' is its alarm topic"},
        {"uplink;sms;smstools;nospool\nreceiver;sms\nadr;sms;+4915100000001\ndir;g\n",
         "*** warning: receiver 'sms': sms spool 'nospool' has no folder outgoing/"},
        {"receiver;chat\nadr;telegram;-100200\nallow;\ndir;g\n", "allow needs at least one user id"},
        {"receiver;mailer\nadr;mail;ops@example.com\ndir;g\n",
         "*** warning: receiver 'mailer' sends mail, but there is no uplink;smtp line"},
        {"receiver;manager\ndir;g\n",
         "*** warning: receiver 'manager' posts to the server manager, but there is no uplink;srvmgr line"},
        {"receiver;book\nadr;file;nodir/%Y/alarm.csv\ndir;g\n",
         "*** warning: receiver 'book' writes to 'nodir/%Y/alarm.csv', but the directory 'nodir/"},
        {"coupler;metrics;nodir/zentok.prom\n",
         "*** warning: coupler;metrics writes to 'nodir/zentok.prom', but the directory 'nodir' does not "
         "exist"},
        {"coupler;journal;nodir/journal.csv\n", "*** warning: coupler;journal writes to 'nodir/journal.csv'"},
        // The proof that the chain is alive.
        {"receiver;ops\nadr;file;a.csv\ndir;g\ndrill;opps;07:30\n",
         "*** warning: line 4: drill for unknown receiver 'opps'"},
        {"drill;*;7h30\n", "line 1: drill time '7h30': not HH:MM or HH:MM:SS"},
        {modbus + "node;a;400001;t;g;R:10:10\n", "R: its least value is not below its greatest"},
    };
    for (const auto& [content, message] : cases) {
        RunResult r = check(dir, content);
        EXPECT_EQ(r.exitCode, 78) << content << r.output;
        EXPECT_NE(r.output.find(message), std::string::npos) << content << r.output;
        EXPECT_NE(r.output.find("configuration 'c.ini': configuration error"), std::string::npos) << r.output;
    }
}

// A value type that does not fit its address: --check, a start and a probe
// all end with 78 and name the line.
TEST(Check, AnUnfitValueTypeEndsCheckStartAndProbeWith78) {
    TempDir dir;
    writeFile(dir.file("c.ini"), "source;plc\nadr;simatic;tcp:127.0.0.1:1\nnode;a;MB3:REAL;t;g;N\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--check", "-i", "c.ini"}, {"-i", "c.ini"}, {"probe", "-i", "c.ini"}}) {
        RunResult r = runZentokIn(dir.path(), args);
        EXPECT_EQ(r.exitCode, 78) << r.output;
        EXPECT_NE(r.output.find("*** ini error: line 3: type REAL needs a double word"), std::string::npos)
            << r.output;
    }
}

// A site whose file ran yesterday is still monitored after an upgrade: a
// start says what is wrong once and runs with the rest; the adr line behind a
// misspelled keyword does not take over the receiver before it.
TEST(Check, AStartSaysTheSameLinesOnceAndRuns) {
    TempDir dir;
    writeFile(dir.file("c.ini"),
              "coupler;runmode;single\nsource;plant\nadr;modbus;tcp:127.0.0.1:1\n"
              "node;a;!OFFLINE;down;g;N\nnode;a;4x0001;typo;g;N\nreceiver;book\nadr;file;book.csv\ndir;g\n"
              "reciever;other\nadr;file;other.csv\n");
    RunResult r = runZentokIn(dir.path(), {"-i", "c.ini"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(countOf(r.output, "*** ini error: line 5: address '4x0001' is no modbus address\n"), 1)
        << r.output;
    EXPECT_EQ(countOf(r.output, "*** warning: line 9: unknown keyword 'reciever'\n"), 1) << r.output;
    EXPECT_NE(readFile(dir.file("book.csv")).find("down"), std::string::npos) << "the configuration ran";
}

TEST(Check, UnknownOptionsAreRefusedAndHIsHelp) {
    TempDir dir;
    writeFile(dir.file("zentok.ini"), "coupler;runmode;single\n");
    RunResult r = runZentokIn(dir.path(), {"--chek"});
    EXPECT_EQ(r.exitCode, 64) << r.output;
    EXPECT_NE(r.output.find("zentok: unknown option '--chek'\nUsage: zentok"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Zentok\n"), std::string::npos) << "no instance started";
    EXPECT_EQ(runZentokIn(dir.path(), {"-i", "zentok.ini", "stray"}).exitCode, 64);

    r = runZentokIn(dir.path(), {"-h"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.rfind("Usage: zentok", 0), 0u) << r.output;
    for (const char* pointer : {"zentok(8)", "zentok.ini(5)", "/usr/share/doc/zentok/docs/"})
        EXPECT_NE(r.output.find(pointer), std::string::npos) << "the help names " << pointer;
}

TEST(Check, UnreadablePathEndsWith1) {
    TempDir dir;
    RunResult r = runZentokIn(dir.path(), {"--check", "-i", "missing.ini"});
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("*** ini file 'missing.ini': can't open: No such file or directory\n"),
              std::string::npos)
        << r.output;
    r = runZentokIn(dir.path(), {"--check", "-i", dir.path()});
    EXPECT_EQ(r.exitCode, 1) << "a directory is no configuration\n" << r.output;
}

// Advice about what works as written: the check still loads.
TEST(Check, WarnsAboutWhatWorksButMayNotBeMeant) {
    TempDir dir;
    RunResult r =
        check(dir,
              "source;plant\nadr;modbus;tcp:127.0.0.1:1\n"
              "node;a;400001;high;alarm;O:1\n"
              "node;a;!OFFLINE;down;alarm;N\n"
              "node;a;400001;again;alarm;O:2\n"
              "node;a;400002;stuck;alarm;S:9\nset;readinterval;5\n"
              "receiver;scratch\nadr;file;/tmp/alarm.csv\ndir;alarm\n"
              "receiver;fleet\nadr;mqtt;mqtt://127.0.0.1:1/plants/press7;zentok;secret-pw\ndir;alarm\n");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const char* warnings[] = {
        "node address '400001' is used twice for source 'plant'; both nodes read the same value",
        "coupler;readinterval is 0: the source is read as fast as the device answers",
        "receiver 'scratch' writes to '/tmp/alarm.csv', a temporary directory",
        "node '400002': frozen for 9 s is shorter than two read intervals (5 s each)",
    };
    for (const char* warning : warnings)
        EXPECT_NE(r.output.find(std::string("*** warning: ") + warning), std::string::npos) << warning << "\n"
                                                                                            << r.output;
    EXPECT_NE(r.output.find("configuration 'c.ini': loads, 4 warnings\n"), std::string::npos) << r.output;
    // An MQTT receiver is checked without a connection to its broker, and its password is not shown.
    EXPECT_EQ(r.output.find("secret-pw"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("notifyMqtt"), std::string::npos) << r.output;
}

// In process, so the Twitter client can be pointed at the listening socket too.
TEST(Check, ContactsNoPeerAndWritesNoStatesFile) {
    TempDir dir;
    int port = 0;
    int listener = listenOnLoopback(8, &port);
    ASSERT_GE(listener, 0);
    std::string peer = "127.0.0.1:" + std::to_string(port);
    TwitterClient::setApiBaseForTesting(peer);
    writeFile(dir.file("BrimselKeys.ini"), "label;token;secret\n");
    writeFile(dir.file("c.ini"), "source;plant\nadr;modbus;tcp:" + peer +
                                     "\nnode;a;400001;high;alarm;O:1\n"
                                     "receiver;mailer\nadr;mail;ops@example.com\ndir;alarm\n"
                                     "receiver;manager\ndir;alarm\n"
                                     "receiver;tweets\nadr;twitter\ndir;alarm\n"
                                     "uplink;srvmgr;http://" +
                                     peer +
                                     "\n"
                                     "uplink;smtp;smtp://" +
                                     peer + ";u;p;zentok@example.com\n");
    WorkingDirectory inside(dir.path());
    ASSERT_TRUE(inside.entered());
    testing::internal::CaptureStdout();
    int status = checkConfiguration("c.ini");
    std::string out = testing::internal::GetCapturedStdout();
    inside.leave();
    TwitterClient::setApiBaseForTesting("");

    EXPECT_EQ(status, 0) << out;
    EXPECT_FALSE(connectionWaiting(listener)) << "the check connected to the peer";
    EXPECT_FALSE(fileExists(dir.file("zentok_states.csv")));
    close(listener);
}

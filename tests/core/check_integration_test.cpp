// "zentok --check": exit statuses, the parser's messages and the warnings, and
// a check that contacts nobody.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/ConfigCheck.h"
#include "support/TestSupport.h"
#include "support/WorkingDirectory.h"
#include "twitter/TwitterClient.h"

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
    for (const char* example : {"examples/zentok.ini", "examples/demo.ini"}) {
        RunResult r = runZentokIn(dir.path(), {"--check", "-i", sourcePath(example)});
        EXPECT_EQ(r.exitCode, 0) << example << "\n" << r.output;
        EXPECT_NE(r.output.find("': loads, 0 warnings\n"), std::string::npos) << r.output;
    }
    EXPECT_FALSE(fileExists(dir.file("zentok_states.csv")));
}

TEST(Check, EachKindOfConfigurationErrorEndsWith78AndItsMessage) {
    TempDir dir;
    std::string nodes, receivers;
    for (int i = 0; i < 6; ++i) nodes += "node;a;MW" + std::to_string(i) + ";t;g;N\n";
    for (int i = 0; i < 6; ++i) receivers += "receiver;r" + std::to_string(i) + "\ndir;g\n";
    const std::pair<std::string, std::string> cases[] = {
        {"coupler;runmode;daily\n", "*** ini error: runmode\n"},
        {"source;a\nsource;b\n", "*** ini error: source over limit\n"},
        {"source;a\n" + nodes, "*** ini error: nodes over limit\n"},
        {receivers, "*** ini error: receiver over limit\n"},
    };
    for (const auto& [content, message] : cases) {
        RunResult r = check(dir, content);
        EXPECT_EQ(r.exitCode, 78) << r.output;
        EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
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

TEST(Check, UnreadablePathEndsWith1) {
    TempDir dir;
    RunResult r = runZentokIn(dir.path(), {"--check", "-i", "missing.ini"});
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("*** ini file 'missing.ini': can't open\n"), std::string::npos) << r.output;
    r = runZentokIn(dir.path(), {"--check", "-i", dir.path()});
    EXPECT_EQ(r.exitCode, 1) << "a directory is no configuration\n" << r.output;
}

TEST(Check, WarnsAboutWhatLoadsButWouldNotWork) {
    TempDir dir;
    RunResult r = check(dir,
                        "source;plant\nadr;modbus;tcp:127.0.0.1:1\n"
                        "node;a;400001;high;alarm;O:1\n"
                        "node;a;!OFFLINE;down;alarm;N\n"
                        "node;a;400001;again;alarm;O:2\n"
                        "info;a;1;x;lonely;N\n"
                        " #not a comment\n"
                        "coupler;readintervall;5\n"
                        "receiver;mailer\nadr;mail;ops@example.com\ndir;alarm\n"
                        "receiver;manager\ndir;alarm\n"
                        "receiver;book\nadr;file;nodir/%Y/alarm.csv\ndir;alarm\n"
                        "receiver;idle\nadr;file;alarm.csv\n");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const char* warnings[] = {
        "node address '400001' is used twice for source 'plant'",
        "node '!OFFLINE' is not the first node of source 'plant'",
        "group 'lonely' has no receiver",
        "receiver 'idle' is in no group",
        "receiver 'mailer' sends mail, but there is no uplink;smtp line",
        "receiver 'manager' posts to the server manager, but there is no uplink;srvmgr line",
        "receiver 'book' writes to 'nodir/%Y/alarm.csv', but the directory 'nodir/",
        "line 7: unknown keyword ' #not a comment'",
        "line 8: unknown setting 'coupler;readintervall'",
    };
    for (const char* warning : warnings)
        EXPECT_NE(r.output.find(std::string("*** warning: ") + warning), std::string::npos) << warning << "\n"
                                                                                            << r.output;
    EXPECT_NE(r.output.find("configuration 'c.ini': loads, 9 warnings\n"), std::string::npos) << r.output;
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

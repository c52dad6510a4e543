// An alarm through build/zentok against the misbehaving Modbus peer, with a
// file and a webhook receiver: a register that rises, hovers inside the
// deadband and falls gives raise, reminder and back-to-normal notice in that
// order, once per episode, on both channels.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "support/Peers.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// R, M, C for each match of `notice` whose first group is `raise`, `remind` or another word.
std::string letters(const std::string& text, const std::regex& notice, const std::string& raise,
                    const std::string& remind) {
    std::string out;
    for (std::sregex_iterator it(text.begin(), text.end(), notice), end; it != end; ++it)
        out += (*it)[1] == raise ? 'R' : (*it)[1] == remind ? 'M' : 'C';
    return out;
}

}  // namespace

TEST(AlarmRun, DeadbandReminderAndBackToNormalReachTheFileAndTheWebhookOncePerEpisode) {
    TempDir dir;
    // Thirds of 3 s: 20000 + k, 19500 (inside the deadband), k.
    PythonPeer peer(kMisbehavingModbusPeer, {"--sawtooth", "3000"}, 60);
    ASSERT_TRUE(peer.ready());
    int port = freeLoopbackPort();
    Process recorder;
    ASSERT_TRUE(recorder.start({kPython, sourcePath("tests/peers/webhook/recorder.py"), "--port",
                                std::to_string(port), "--record", dir.file("record.txt")},
                               dir.file("recorder.log")));
    ASSERT_TRUE(waitForPort(port, 10000));
    writeFile(dir.file("z.ini"),
              "coupler;runmode;cycle\nsource;plant\nadr;modbus;" + peer.parameters() +
                  "\nnode;a;300003;{{%state}} {{*}};alarm;O:19999\n"
                  "alarm;clear=19000;remind=1;remindmax=1;normal=fall {{*}} after {{%duration}}\n"
                  "receiver;log\nadr;file;alarms.csv\ndir;alarm\nreceiver;hook\n"
                  "adr;webhook;http://127.0.0.1:" +
                  std::to_string(port) + "/hook\ndir;alarm\n");
    Process zentok;
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "z.ini"}, dir.file("run.log"), dir.path()));
    std::this_thread::sleep_for(std::chrono::seconds(10));
    kill(zentok.pid(), SIGTERM);
    ASSERT_TRUE(zentok.waitForExit(12000));
    kill(recorder.pid(), SIGTERM);

    std::string file = fileExists(dir.file("alarms.csv")) ? readFile(dir.file("alarms.csv")) : "";
    std::string bodies;
    std::ifstream record(dir.file("record.txt"));
    for (std::string method, path, headers, body, rest; record >> method >> path >> headers >> body >> rest;)
        bodies += fromHex(body) + "\n";
    std::string fileLetters = letters(file, std::regex("\"(raised|reminder|fall) "), "raised", "reminder");
    // The run may start and end within an episode; the whole ones in between
    // are raise, one reminder, clear, and the webhook saw the same.
    EXPECT_TRUE(std::regex_match(fileLetters, std::regex("C?M?(RMC){2,}R?M?"))) << file;
    EXPECT_EQ(letters(bodies, std::regex(",\"state\":\"(\\w+)\"\\}"), "raised", "reminder"), fileLetters)
        << bodies;
    // Never a clear inside the deadband: the fall is the low value.
    EXPECT_EQ(file.find("fall 19500"), std::string::npos) << file;
    EXPECT_TRUE(std::regex_search(file, std::regex("fall \\d{1,3} after \\d+s"))) << file;
}

// A word of alarm bits: two bits that rise in one read give two notices,
// each bit follows the word's alarm line (the on-delay keeps the chattering
// bit silent), a bit alarmed at 0 fires while it is 0, and the states file
// keeps each bit by its word and index.
TEST(AlarmRun, EachBitOfAnAlarmWordIsAnAlarmOfItsOwn) {
    TempDir dir;
    PythonPeer peer(kMisbehavingModbusPeer, {"--sawtooth", "3000"}, 60);
    ASSERT_TRUE(peer.ready());
    writeFile(dir.file("z.ini"),
              "coupler;runmode;cycle\nsource;plant\nadr;modbus;" + peer.parameters() +
                  "\nnode;a;300004:BITS;unused;alarm;N\ntag;pumps\n"
                  "bit;0;{{%tag}} tripped\nbit;1;{{%tag}} tripped\nbit;2;{{%tag}} chatters\n"
                  "bit;3;{{%tag}} no feedback;0\nalarm;on=1s\n"
                  "receiver;log\nadr;file;alarms.csv\ndir;alarm\n");
    Process zentok;
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "z.ini"}, dir.file("run.log"), dir.path()));
    std::this_thread::sleep_for(std::chrono::seconds(10));
    kill(zentok.pid(), SIGTERM);
    ASSERT_TRUE(zentok.waitForExit(12000));

    std::string file = fileExists(dir.file("alarms.csv")) ? readFile(dir.file("alarms.csv")) : "";
    std::regex notice("\"300004:BITS\\.(\\d)\";([-0-9]+;[:0-9]+);(\\d);\"pumps\\.\\1 ([a-z ]+)\"");
    std::string pairs;
    std::string bit3;
    std::string previousTime;
    for (std::sregex_iterator it(file.begin(), file.end(), notice), end; it != end; ++it) {
        std::string bit = (*it)[1];
        if (bit == "0") previousTime = (*it)[2];
        if (bit == "1") pairs += (*it)[2] == previousTime ? 'P' : 'x';
        if (bit == "2") ADD_FAILURE() << "the chattering bit was raised: " << file;
        if (bit == "3") bit3 += std::string((*it)[3]) + (*it)[4].str();
    }
    // Three periods of 3 s: bits 0 and 1 rise together in each, one notice each.
    EXPECT_TRUE(std::regex_match(pairs, std::regex("PPP+"))) << file;
    EXPECT_EQ(bit3, "0no feedback") << file;
    std::string states = readFile(dir.file("zentok_states.csv"));
    EXPECT_TRUE(std::regex_search(states, std::regex("\"plant\";\"300004:BITS\\.3\";\\d{4}-"))) << states;
    EXPECT_NE(states.find("\"plant\";\"300004:BITS.0\";"), std::string::npos) << states;
}

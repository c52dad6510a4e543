// An alarm through build/zentok against the misbehaving Modbus peer, with a
// file and a webhook receiver: a register that rises, hovers inside the
// deadband and falls gives raise, reminder and back-to-normal notices in
// that order, once per episode, on both channels.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Peers.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// The JSON bodies the recorder took, in order.
std::vector<std::string> recordedBodies(const std::string& recordFile) {
    std::vector<std::string> bodies;
    std::ifstream in(recordFile);
    std::string line, method, path, headers, body;
    while (std::getline(in, line)) {
        std::istringstream columns(line);
        if (columns >> method >> path >> headers >> body) bodies.push_back(fromHex(body));
    }
    return bodies;
}

// "R", "M" and "C" for each text in `texts` that holds the raise, reminder
// or clear marker, in order.
std::string episodeLetters(const std::vector<std::string>& texts, const char* raise, const char* reminder,
                           const char* clear) {
    std::string letters;
    for (const std::string& text : texts) {
        if (text.find(raise) != std::string::npos)
            letters += 'R';
        else if (text.find(reminder) != std::string::npos)
            letters += 'M';
        else if (text.find(clear) != std::string::npos)
            letters += 'C';
        else
            letters += '?';
    }
    return letters;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
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
    // The template names the state only through the placeholder, so the file
    // shows what the template expanded to.
    writeFile(dir.file("z.ini"),
              "coupler;runmode;cycle\ncoupler;readinterval;0\nsource;plant\nadr;modbus;" + peer.parameters() +
                  "\nnode;a;300003;{{%state}} {{*}};alarm;O:19999\n"
                  "alarm;clear=19000;remind=1;remindmax=1;normal=fall {{*}} after {{%duration}}\n"
                  "receiver;log\nadr;file;alarms.csv\ndir;alarm\n"
                  "receiver;hook\nadr;webhook;http://127.0.0.1:" +
                  std::to_string(port) + "/hook\ndir;alarm\n");
    Process zentok;
    ASSERT_TRUE(zentok.start({zentokBinary(), "-i", "z.ini"}, dir.file("run.log"), dir.path()));
    std::this_thread::sleep_for(std::chrono::seconds(10));
    kill(zentok.pid(), SIGTERM);
    ASSERT_TRUE(zentok.waitForExit(12000));

    std::string file = fileExists(dir.file("alarms.csv")) ? readFile(dir.file("alarms.csv")) : "";
    std::string fileLetters = episodeLetters(linesOf(file), "\"raised ", "\"reminder ", "\"fall ");
    std::vector<std::string> bodies = recordedBodies(dir.file("record.txt"));
    std::string hookLetters =
        episodeLetters(bodies, "\"state\":\"raised\"", "\"state\":\"reminder\"", "\"state\":\"cleared\"");

    // The run may start and end within an episode; whole episodes in between
    // are raise, one reminder, clear.
    std::smatch whole;
    ASSERT_TRUE(std::regex_search(fileLetters, whole, std::regex("(RMC){2,}"))) << file;
    EXPECT_TRUE(std::regex_match(fileLetters, std::regex("C?M?(RMC)*R?M?"))) << file;
    EXPECT_EQ(hookLetters, fileLetters);
    // Never a clear inside the deadband: the fall is the low value.
    EXPECT_EQ(file.find("fall 19500"), std::string::npos) << file;
    EXPECT_TRUE(std::regex_search(file, std::regex("fall \\d{1,3} after \\d+s"))) << file;
    ASSERT_FALSE(bodies.empty());
    EXPECT_NE(bodies[0].find(",\"kind\":\"message\",\"state\":\""), std::string::npos) << bodies[0];
    kill(recorder.pid(), SIGTERM);
}

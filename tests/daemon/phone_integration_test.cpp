// Acknowledging from the phone, against build/zentok reading tools/plantsim
// (400001 = 160, above its limit) and the Bot API stand-in: the alarm's
// buttons, a press by somebody not allowed, a forged press, the allowed
// press that stops the reminders, and a restart that applies nothing twice.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/Peers.h"
#include "support/TestSupport.h"

using namespace testsupport;
using nlohmann::json;

namespace {

constexpr const char* kToken = "123456:AAH-secret_token";

class PhoneRun : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bot_.ready()) << bot_.log();
        port_ = freeLoopbackPort();
        ASSERT_TRUE(plant_.start({binaryPath("tools/plantsim/plantsim"), "--port", std::to_string(port_),
                                  "--speed", "0", "--start", "30", "--lifetime", "120"},
                                 dir_.file("plantsim.log")));
        ASSERT_TRUE(waitForPort(port_, 10000));
        writeFile(dir_.file("updates.jsonl"), "");
        writeFile(dir_.file("z.ini"),
                  "coupler;readinterval;1\ncoupler;journal\nsource;plant\nadr;modbus;tcp:127.0.0.1:" +
                      std::to_string(port_) + "\nuplink;telegram;" + kToken +
                      ";http://127.0.0.1:" + std::to_string(bot_.port()) +
                      "\nnode;a;400001;Tank high {{*}};tank;O:100\nalarm;remind=1\n"
                      "receiver;phone\nadr;telegram;42\nallow;111,222\ndir;tank\n"
                      "receiver;log\nadr;file;log.csv\ndir;tank\n");
    }
    void startZentok(const std::string& log) {
        ASSERT_TRUE(zentok_.start({zentokBinary(), "-i", "z.ini"}, dir_.file(log), dir_.path()));
    }
    void stopZentok() {
        kill(zentok_.pid(), SIGTERM);
        ASSERT_TRUE(zentok_.waitForExit(15000));
    }
    // Requests to `method` the stand-in saw, their bodies parsed.
    std::vector<json> calls(const std::string& method) const {
        std::vector<json> found;
        std::ifstream in(dir_.file("record.txt"));
        std::string path, body;
        while (in >> path >> body)
            if (fromHex(path) == std::string("/bot") + kToken + "/" + method)
                found.push_back(json::parse(body == "-" ? "{}" : fromHex(body), nullptr, false));
        return found;
    }
    bool waitForCalls(const std::string& method, size_t count) {
        return waitUntil([&] { return calls(method).size() >= count; }, 10000);
    }
    void press(int64_t user, int64_t chat, const std::string& data) {
        json update = {
            {"callback_query",
             {{"id", "cb" + std::to_string(++presses_)},
              {"from", {{"id", user}, {"first_name", user == 111 ? "anna" : "mallory"}}},
              {"message", {{"message_id", 7}, {"chat", {{"id", chat}}}, {"text", "Tank high 160"}}},
              {"data", data}}}};
        std::ofstream(dir_.file("updates.jsonl"), std::ios::app) << update.dump() << "\n";
    }
    int count(const std::string& file, const std::string& text) {
        return countOf(contentOf(dir_.file(file)), text);
    }

    TempDir dir_;
    PythonPeer bot_{"telegram/bot_api_peer.py",
                    {"--record", dir_.file("record.txt"), "--updates", dir_.file("updates.jsonl")},
                    120};
    Process plant_;
    Process zentok_;
    int port_ = 0;
    int presses_ = 0;
};

}  // namespace

TEST_F(PhoneRun, TelegramPressAcknowledgesOnceOnlyForTheAllowedAndTheCurrentEpisode) {
    startZentok("run.log");
    ASSERT_TRUE(waitForCalls("sendMessage", 1)) << contentOf(dir_.file("run.log"));
    json keyboard = calls("sendMessage")[0]["reply_markup"]["inline_keyboard"];
    ASSERT_EQ(keyboard.size(), 1u) << keyboard.dump();
    ASSERT_EQ(keyboard[0].size(), 1u) << "no shelve button without allow;...;shelve";
    std::string data = keyboard[0][0]["callback_data"];
    ASSERT_EQ(data.substr(0, 4), "ack ");
    ASSERT_EQ(data.substr(data.size() - 7), " 400001");

    press(999, 42, data);                       // not on the allow line
    press(111, 42, "ack 12345 400001");         // an episode that is not the alarm's
    press(111, 42, "shelve 1 400001; rm -rf");  // no button of ours
    press(111, 77, data);                       // another chat
    ASSERT_TRUE(waitForCalls("answerCallbackQuery", 4)) << contentOf(dir_.file("run.log"));
    for (const json& answer : calls("answerCallbackQuery"))
        EXPECT_EQ(answer["text"].get<std::string>().find("acknowledged by"), std::string::npos)
            << answer.dump();
    EXPECT_EQ(count("zentok_journal.csv", ";refused;"), 3) << contentOf(dir_.file("zentok_journal.csv"));
    EXPECT_EQ(count("zentok_journal.csv", ";acknowledged;"), 0);

    auto pressedAt = std::chrono::steady_clock::now();
    press(111, 42, data);
    ASSERT_TRUE(waitForCalls("editMessageText", 1)) << contentOf(dir_.file("run.log"));
    auto latency =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - pressedAt);
    std::printf("telegram press to acknowledged (reminders stopped): %lld ms\n",
                static_cast<long long>(latency.count()));
    EXPECT_NE(calls("answerCallbackQuery")[4]["text"].get<std::string>().find("acknowledged by anna"),
              std::string::npos);
    EXPECT_NE(
        calls("editMessageText")[0]["text"].get<std::string>().find("Tank high 160\n\nAcknowledged by anna"),
        std::string::npos);
    int reminders = count("log.csv", "\"Tank high 160\"");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(count("log.csv", "\"Tank high 160\""), reminders) << "no reminder after the press";
    EXPECT_EQ(count("zentok_journal.csv", "\"anna (user 111) via telegram\""), 1);
    RunResult status = runZentokIn(dir_.path(), {"status", "-i", "z.ini"}, 10000);
    EXPECT_NE(status.output.find("anna (user 111) via telegram"), std::string::npos) << status.output;
    // An update of a megabyte is passed over, and the poll goes on behind it.
    press(222, 42, std::string(1 << 20, 'x'));
    press(222, 42, data);
    ASSERT_TRUE(waitForCalls("answerCallbackQuery", 6)) << contentOf(dir_.file("run.log"));
    EXPECT_EQ(count("zentok_journal.csv", "larger than 65536 bytes, passed over"), 1);
    stopZentok();
    EXPECT_NE(contentOf(dir_.file("zentok_states.csv")).find("#inbox;\"telegram:123456\";\"1007\""),
              std::string::npos)
        << contentOf(dir_.file("zentok_states.csv"));

    // The stand-in still holds every update; the restart asks from the
    // recorded one on, so none is applied or answered again.
    size_t answered = calls("answerCallbackQuery").size();
    size_t polls = calls("getUpdates").size();
    startZentok("rerun.log");
    ASSERT_TRUE(waitUntil([&] { return calls("getUpdates").size() > polls; }, 10000));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(calls("answerCallbackQuery").size(), answered);
    EXPECT_EQ(count("zentok_journal.csv", ";acknowledged;"), 1);
    EXPECT_EQ(calls("getUpdates").back()["offset"], 1007);
    stopZentok();
}

namespace {

std::vector<std::string> listDirectory(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    while (dir)
        if (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        } else {
            break;
        }
    if (dir) closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// The same plant with an SMS receiver on a spool in the test's folder;
// the test plays smstools, moving files and leaving received ones.
class SmsRun : public PhoneRun {
  protected:
    void SetUp() override {
        PhoneRun::SetUp();
        if (HasFatalFailure()) return;
        for (const char* folder : {"spool", "spool/outgoing", "spool/sent", "spool/failed", "spool/incoming"})
            ASSERT_EQ(mkdir(dir_.file(folder).c_str(), 0770), 0);
        writeFile(dir_.file("z.ini"),
                  "coupler;readinterval;1\ncoupler;journal\nsource;plant\nadr;modbus;tcp:127.0.0.1:" +
                      std::to_string(port_) + "\nuplink;sms;smstools;" + dir_.file("spool") +
                      "\nnode;a;400001;Tank high {{*}};tank;O:100\nalarm;remind=1\n"
                      "receiver;phone\nadr;sms;+4915100000001\nallow;+4915100000002\ndir;tank\n"
                      "receiver;log\nadr;file;log.csv\ndir;tank\n");
    }
    std::vector<std::string> filesIn(const std::string& folder) const {
        return listDirectory(dir_.file("spool/" + folder));
    }
    // A received message, dated back so it counts as whole.
    void receive(const std::string& name, const std::string& content) {
        std::string path = dir_.file("spool/incoming/" + name);
        writeFile(path, content);
        struct timeval old[2] = {{std::time(nullptr) - 5, 0}, {std::time(nullptr) - 5, 0}};
        utimes(path.c_str(), old);
    }
};

}  // namespace

TEST_F(SmsRun, ReplyFromAnAllowedNumberAcknowledgesOnceOthersAreRefused) {
    startZentok("run.log");
    ASSERT_TRUE(waitUntil([&] { return !filesIn("outgoing").empty(); }, 10000))
        << contentOf(dir_.file("run.log"));
    std::string first = filesIn("outgoing")[0];
    EXPECT_EQ(contentOf(dir_.file("spool/outgoing/" + first)),
              "To: +4915100000001\n\nTank high 160\nReply ACK 400001");
    rename(dir_.file("spool/outgoing/" + first).c_str(), dir_.file("spool/sent/" + first).c_str());
    ASSERT_TRUE(waitUntil(
        [&] { return countOf(contentOf(dir_.file("run.log")), first + " to +4915100000001: sent"); }, 10000));

    receive("GSM1.a", "From: 4917000000009\nReceived: 26-12-08 01:00:00\n\nACK 400001");
    receive("GSM1.b", std::string("From: 4915100000002\x01\x02\xff\n\n\x00\x01"
                                  "ACK 400001",
                                  36));
    receive("GSM1.c", "From: 4917000000009\nFrom: 4915100000002\n\nACK 400001");
    ASSERT_TRUE(waitUntil([&] { return filesIn("incoming").empty(); }, 10000));
    EXPECT_EQ(count("zentok_journal.csv", ";refused;"), 3) << contentOf(dir_.file("zentok_journal.csv"));
    EXPECT_EQ(count("zentok_journal.csv", ";acknowledged;"), 0);

    receive("GSM1.d", "From: 4915100000002\nReceived: 26-12-08 01:00:05\n\nack 400001");
    ASSERT_TRUE(waitUntil([&] { return count("zentok_journal.csv", ";acknowledged;") == 1; }, 10000))
        << contentOf(dir_.file("run.log"));
    EXPECT_EQ(count("zentok_journal.csv", "\"+4915100000002 via sms\""), 1);
    RunResult status = runZentokIn(dir_.path(), {"status", "-i", "z.ini"}, 10000);
    EXPECT_NE(status.output.find("+4915100000002 via sms"), std::string::npos) << status.output;
    stopZentok();
    EXPECT_NE(contentOf(dir_.file("zentok_states.csv")).find("\"GSM1.d\""), std::string::npos);

    // A crash after the record and before the removal leaves the file: it is
    // removed, not applied again (no second answer goes out).
    size_t answers = filesIn("outgoing").size();
    receive("GSM1.d", "From: 4915100000002\n\nACK 400001");
    startZentok("rerun.log");
    ASSERT_TRUE(waitUntil([&] { return filesIn("incoming").empty(); }, 10000));
    EXPECT_EQ(filesIn("outgoing").size(), answers);
    stopZentok();
}

namespace {

// The plant with an ntfy receiver whose button publishes to a reply topic
// on the ntfy stand-in; the test publishes there as the phone would.
class NtfyRun : public PhoneRun {
  protected:
    void SetUp() override {
        PhoneRun::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(ntfy_.ready()) << ntfy_.log();
        writeFile(dir_.file("inject.txt"), "");
        writeFile(dir_.file("z.ini"),
                  "coupler;readinterval;1\ncoupler;journal\nsource;plant\nadr;modbus;tcp:127.0.0.1:" +
                      std::to_string(port_) +
                      "\nnode;a;400001;Tank high {{*}};tank;O:100\nalarm;remind=1\n"
                      "receiver;phone\nadr;ntfy;http://127.0.0.1:" +
                      std::to_string(ntfy_.port()) + "/alarms\nreply;acks\ndir;tank\n");
    }
    // Path, Actions header and body of each request the stand-in saw.
    std::vector<std::vector<std::string>> seen() const {
        std::vector<std::vector<std::string>> all;
        std::ifstream in(dir_.file("ntfy.txt"));
        std::string a, b, c;
        while (in >> a >> b >> c)
            all.push_back({fromHex(a), b == "-" ? "" : fromHex(b), c == "-" ? "" : fromHex(c)});
        return all;
    }
    void publish(const std::string& text) {
        std::ofstream(dir_.file("inject.txt"), std::ios::app) << "acks " << text << "\n";
    }

    PythonPeer ntfy_{
        "ntfy/ntfy_peer.py", {"--record", dir_.file("ntfy.txt"), "--inject", dir_.file("inject.txt")}, 120};
};

}  // namespace

TEST_F(NtfyRun, TheButtonsCodeAcknowledgesOnceWrongAndReplayedCodesAreRefused) {
    startZentok("run.log");
    std::string actions;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& request : seen())
                if (request[0] == "/alarms" && !request[1].empty()) actions = request[1];
            return !actions.empty();
        },
        10000))
        << contentOf(dir_.file("run.log"));
    std::string prefix = "http, Acknowledge, http://127.0.0.1:" + std::to_string(ntfy_.port()) +
                         "/acks, method=POST, body=ACK 400001 ";
    ASSERT_EQ(actions.substr(0, prefix.size()), prefix);
    std::string code = actions.substr(prefix.size(), 8);
    ASSERT_EQ(actions.substr(prefix.size() + 8), ", clear=true");

    publish("ACK 400001 aaaaaaaa");
    ASSERT_TRUE(waitUntil([&] { return count("zentok_journal.csv", ";refused;") == 1; }, 10000))
        << contentOf(dir_.file("run.log"));
    EXPECT_EQ(count("zentok_journal.csv", ";acknowledged;"), 0) << "a wrong code changes nothing";
    publish("ACK 400001 " + code);
    publish("ACK 400001 " + code);  // the same code again
    ASSERT_TRUE(waitUntil([&] { return count("zentok_journal.csv", ";refused;") >= 2; }, 10000))
        << contentOf(dir_.file("run.log"));
    EXPECT_EQ(count("zentok_journal.csv", ";acknowledged;"), 1);
    EXPECT_EQ(count("zentok_journal.csv", "\"phone via ntfy\""), 1);
    EXPECT_NE(contentOf(dir_.file("zentok_states.csv")).find("#inbox;\"ntfy-secret\""), std::string::npos);
    stopZentok();
    std::string states = contentOf(dir_.file("zentok_states.csv"));
    EXPECT_NE(states.find("#inbox;\"ntfy:http://127.0.0.1:" + std::to_string(ntfy_.port()) + "/acks\";\"m"),
              std::string::npos)
        << "the last message id read is recorded: " << states;
}

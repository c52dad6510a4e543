// The webhook and ntfy channels against a local recorder (tests/peers/webhook)
// over HTTPS with a test CA and over plain HTTP: the JSON body as Python's
// json module reads it, the ntfy headers, what the console shows, the failure
// lines, TLS verification, and the demo page's list of JSON posts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/Outbox.h"
#include "notify/HttpPost.h"
#include "notify/Receiver.h"
#include "notify/Sender.h"
#include "notify/channels/NtfyChannel.h"
#include "notify/channels/WebhookChannel.h"
#include "support/Peers.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// One request as the recorder saw it; `fields` holds the members of the JSON
// body as Python read them, each as its type letter and its text.
struct Recorded {
    std::string path, headers, body;
    bool json = false;
    std::map<std::string, std::string> fields;

    std::string field(const std::string& name) const {
        auto found = fields.find(name);
        return found == fields.end() ? "<missing>" : found->second;
    }
    bool hasHeader(const std::string& line) const { return headers.find(line + "\n") != std::string::npos; }
};

class Recorder {
  public:
    // Over HTTPS with a certificate made now for `altName`, or plain HTTP.
    bool start(bool https, const std::string& altName = "IP:127.0.0.1") {
        https_ = https;
        std::vector<std::string> argv = {kPython,    sourcePath("tests/peers/webhook/recorder.py"),
                                         "--port",   std::to_string(port_),
                                         "--record", dir_.file("record.txt")};
        if (https) {
            std::string command =
                "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                " -subj /CN=zentok-test -addext subjectAltName=" +
                altName + " -keyout '" + dir_.file("key.pem") + "' -out '" + caFile() + "' >/dev/null 2>&1";
            if (std::system(command.c_str()) != 0) return false;
            argv.insert(argv.end(), {"--cert", caFile(), "--key", dir_.file("key.pem")});
        }
        return process_.start(argv, dir_.file("recorder.log")) && waitForPort(port_, 10000);
    }
    std::string url(const std::string& path) const {
        return (https_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + path;
    }
    std::string caFile() const { return dir_.file("cert.pem"); }
    std::string log() const {
        return fileExists(dir_.file("recorder.log")) ? readFile(dir_.file("recorder.log")) : "";
    }

    std::vector<Recorded> requests() const {
        std::vector<Recorded> all;
        std::ifstream in(dir_.file("record.txt"));
        std::string line, method, path, headers, body, json;
        while (std::getline(in, line)) {
            std::istringstream columns(line);
            if (!(columns >> method >> path >> headers >> body >> json)) continue;
            Recorded r{fromHex(path), fromHex(headers), fromHex(body), json != "-", {}};
            std::istringstream items(r.json ? json : "");
            std::string item;
            while (std::getline(items, item, ',')) {
                size_t first = item.find(':'), second = item.find(':', first + 1);
                r.fields[fromHex(item.substr(0, first))] =
                    item.substr(first + 1, 1) + ":" + fromHex(item.substr(second + 1));
            }
            all.push_back(r);
        }
        return all;
    }

  private:
    TempDir dir_;
    Process process_;
    int port_ = freeLoopbackPort();
    bool https_ = false;
};

class WebhookTest : public ::testing::Test {
  protected:
    void SetUp() override {
        node.sourceName = "plantA";
        node.address = "400001";
        node.value = 120.4;
        // Fired a minute before it is sent, as a retried notification is.
        node.triggerTime = 1796627750;
        setHttpPostTimeoutsForTesting(2000, 10000);
        // 2026-12-07 07:16:50 UTC, in a zone one hour east of UTC.
        setClockForTesting([] { return int64_t{1796627810}; });
        setZone("CET-1");
    }
    void TearDown() override {
        testsupport::waitForSender();
        setHttpPostTimeoutsForTesting(0, 0);
        setHttpPostCaFileForTesting("");
        setClockForTesting(nullptr);
        setZone(nullptr);
    }
    static void setZone(const char* zone) {
        zone ? setenv("TZ", zone, 1) : unsetenv("TZ");
        tzset();
    }

    // Hands one notification to the channel, waits for its worker and
    // returns the console output; `delivery` receives the outcome.
    std::string post(Notifier& channel, const std::string& text, DeliveryHandle* delivery = nullptr) {
        auto outcome = std::make_shared<Delivery>();
        testing::internal::CaptureStdout();
        bool accepted = channel.notify(withText(node, text.c_str()), outcome);
        testsupport::waitForSender();
        std::fflush(stdout);
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(accepted) << output;
        EXPECT_TRUE(outcome->settled()) << output;
        if (delivery) *delivery = outcome;
        return output;
    }
    Notification node;
};

TEST_F(WebhookTest, EveryJsonFieldRoundTripsThroughPythonForHostileTexts) {
    Recorder recorder;
    ASSERT_TRUE(recorder.start(true));
    setHttpPostCaFileForTesting(recorder.caFile());
    char line[200];
    copyText(line, recorder.url("/hooks/T0/secret-part?token=abc").c_str());
    WebhookChannel channel(line, "control room");

    const std::string replaced = "\xEF\xBF\xBD";
    std::string longest;
    while (longest.size() < kTextSize - 1) longest += longest.size() % 2 ? '"' : '\x01';
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"say \"hi\" \\ and \\\\ / end", "say \"hi\" \\ and \\\\ / end"},
        {"tab\t lf\n cr\r bs\b ff\f bell\x07 esc\x1b us\x1f del\x7f",
         "tab\t lf\n cr\r bs\b ff\f bell\x07 esc\x1b us\x1f del\x7f"},
        {"Füllstand 120 °C – ⚠ 😀", "Füllstand 120 °C – ⚠ 😀"},
        // A stray byte, cut sequences, a surrogate, an overlong form and a
        // code point above U+10FFFF, each replaced as Python's decoder does.
        {"a\xff b\xc3 c\xe2\x82 d\xed\xa0\x80 e\xc0\xaf f\xf4\x90\x80\x80 g\xf0\x9f\x98",
         "a" + replaced + " b" + replaced + " c" + replaced + " d" + replaced + replaced + replaced + " e" +
             replaced + replaced + " f" + replaced + replaced + replaced + replaced + " g" + replaced},
        {"", ""},
        {longest, longest},
    };
    std::string console;
    for (const auto& text : texts) {
        DeliveryHandle delivery;
        console += post(channel, text.first, &delivery);
        EXPECT_TRUE(delivery->delivered());
    }
    auto requests = recorder.requests();
    ASSERT_EQ(requests.size(), texts.size()) << recorder.log() << console;
    for (size_t i = 0; i < texts.size(); ++i) {
        const Recorded& r = requests[i];
        ASSERT_TRUE(r.json) << "text " << i << ": " << r.body << recorder.log();
        EXPECT_EQ(r.path, "/hooks/T0/secret-part?token=abc");
        EXPECT_TRUE(r.hasHeader("Content-Type: application/json; charset=utf-8")) << r.headers;
        EXPECT_EQ(r.fields.size(), 10u);
        EXPECT_EQ(r.field("text"), "s:" + texts[i].second) << "text " << i;
        EXPECT_EQ(r.field("content"), "s:" + texts[i].second) << "text " << i;
        EXPECT_EQ(r.field("source"), "s:plantA");
        EXPECT_EQ(r.field("node"), "s:400001");
        EXPECT_EQ(r.field("value"), "n:120");
        EXPECT_EQ(r.field("time"), "s:2026-12-07T08:16:50+01:00");
        EXPECT_EQ(r.field("trigger_time"), "s:2026-12-07T08:15:50+01:00");
        EXPECT_EQ(r.field("event_time"), "s:2026-12-07T08:15:50+01:00")
            << "a raise's own moment is its firing";
        EXPECT_EQ(r.field("receiver"), "s:control room");
        EXPECT_EQ(r.field("kind"), "s:message");
    }
    // The token in the path and in the query never reaches the console.
    EXPECT_EQ(countOf(console, "notifyWebhook::notify, url " + recorder.url("/hooks/***?***") +
                                   ", source plantA, node 400001, text 'say \"hi\""),
              1)
        << console;
    EXPECT_EQ(console.find("secret-part"), std::string::npos);
    EXPECT_EQ(console.find("abc"), std::string::npos);
    EXPECT_EQ(countOf(console, "::post"), 0) << console;

    // An info node, a negative value rounded like the file channel's, a zone
    // west of UTC by a half hour; a value that is no number is null.
    node.kind = NotificationKind::Info;
    node.value = -3.6;
    setZone("XST+3:30");
    post(channel, "pump");
    node.value = std::numeric_limits<double>::quiet_NaN();
    node.triggerTime = 0;  // not known: no time is made up for it
    post(channel, "nan");
    requests = recorder.requests();
    ASSERT_EQ(requests.size(), texts.size() + 2) << recorder.log();
    EXPECT_EQ(requests[texts.size()].field("kind"), "s:info");
    EXPECT_EQ(requests[texts.size()].field("value"), "n:-4");
    EXPECT_EQ(requests[texts.size()].field("time"), "s:2026-12-07T03:46:50-03:30");
    EXPECT_EQ(requests[texts.size()].field("trigger_time"), "s:2026-12-07T03:45:50-03:30");
    EXPECT_EQ(requests[texts.size() + 1].field("value"), "z:");
    EXPECT_EQ(requests[texts.size() + 1].field("trigger_time"), "z:");
    EXPECT_EQ(requests[texts.size() + 1].field("event_time"), "z:");
}

TEST_F(WebhookTest, NtfyPostsThePlainTextWithTitleTagsAndTokenHeaders) {
    Recorder recorder;
    ASSERT_TRUE(recorder.start(false));
    Receiver receiver;
    std::string address = "NTFY;" + recorder.url("/plant-alarms") + ";tk_Secret123;priority";
    std::vector<char> line(address.begin(), address.end());
    line.push_back(0);
    receiver.setAddress(line.data());
    ASSERT_NE(dynamic_cast<NtfyChannel*>(receiver.notifier.get()), nullptr);

    node.sourceName = "Kläranlage";
    std::string console = post(*receiver.notifier, "Level high: 120 \xff");
    // An info node; a source name with a line break cannot add a header.
    node.kind = NotificationKind::Info;
    node.sourceName = "plant\r\nInjected: yes";
    console += post(*receiver.notifier, "");
    // Without a token there is no Authorization header; the URL's
    // user-info is masked.
    std::string plain = recorder.url("/plant-alarms");
    char bare[200];
    copyText(bare, ("http://zentok:pw0rd@" + plain.substr(7)).c_str());
    NtfyChannel noToken(bare);
    console += post(noToken, "x");
    // Priorities and tags of the line: a clear at the second priority.
    char configured[300];
    copyText(configured, (plain + ";tags=press7,hall 2;priority=high,low;tk_Other").c_str());
    NtfyChannel options(configured);
    ASSERT_EQ(options.addressFault(), "");
    node.kind = NotificationKind::Message;
    node.state = "cleared";
    console += post(options, "back to normal");

    auto requests = recorder.requests();
    ASSERT_EQ(requests.size(), 4u) << recorder.log() << console;
    // A raise is urgent, a notice of an info node is not; a line without a
    // priority field sends none.
    EXPECT_TRUE(requests[0].hasHeader("Priority: urgent")) << requests[0].headers;
    EXPECT_TRUE(requests[1].hasHeader("Priority: default")) << requests[1].headers;
    EXPECT_EQ(requests[2].headers.find("Priority:"), std::string::npos) << requests[2].headers;
    EXPECT_TRUE(requests[3].hasHeader("Priority: low")) << requests[3].headers;
    EXPECT_TRUE(requests[3].hasHeader("Tags: white_check_mark,cleared,press7,hall 2")) << requests[3].headers;
    EXPECT_TRUE(requests[3].hasHeader("Authorization: Bearer tk_Other")) << requests[3].headers;
    char wrong[200];
    copyText(wrong, (plain + ";priority=loud").c_str());
    EXPECT_EQ(NtfyChannel(wrong).addressFault(),
              "ntfy priority 'loud' is not min, low, default, high, urgent or 1 to 5");
    EXPECT_EQ(requests[0].path, "/plant-alarms");
    EXPECT_EQ(requests[0].body, "Level high: 120 \xEF\xBF\xBD");
    // The title carries the moment the node fired, not that of sending.
    EXPECT_TRUE(requests[0].hasHeader("Title: Kläranlage 400001, 2026-12-07 08:15:50"))
        << requests[0].headers;
    EXPECT_TRUE(requests[0].hasHeader("Tags: warning")) << requests[0].headers;
    EXPECT_TRUE(requests[0].hasHeader("Authorization: Bearer tk_Secret123")) << requests[0].headers;
    EXPECT_TRUE(requests[0].hasHeader("Content-Type: text/plain; charset=utf-8")) << requests[0].headers;
    EXPECT_EQ(requests[1].body, "");
    EXPECT_TRUE(requests[1].hasHeader("Tags: information")) << requests[1].headers;
    EXPECT_TRUE(requests[1].hasHeader("Title: plant  Injected: yes 400001, 2026-12-07 08:15:50"))
        << requests[1].headers;
    EXPECT_FALSE(requests[1].hasHeader("Injected: yes")) << requests[1].headers;
    EXPECT_EQ(requests[2].headers.find("Bearer"), std::string::npos) << requests[2].headers;

    EXPECT_EQ(countOf(console, "notifyNtfy::notify, url " + plain +
                                   ", source Kläranlage, node 400001, text 'Level high"),
              1)
        << console;
    EXPECT_EQ(countOf(console, "notifyNtfy::notify, url http://***@" + plain.substr(7) + ", source"), 1)
        << console;
    EXPECT_EQ(console.find("tk_Secret123"), std::string::npos) << console;
    EXPECT_EQ(console.find("pw0rd"), std::string::npos) << console;
}

// The bodies of the on-call channels as their services document them: a
// PagerDuty event per action of one episode, a Teams card per state.
TEST_F(WebhookTest, PagerDutyEventsAndTeamsCardsAreTheDocumentedBodies) {
    Recorder recorder;
    ASSERT_TRUE(recorder.start(false));
    auto channel = [&](const std::string& rest) {
        auto receiver = std::make_unique<Receiver>();
        std::vector<char> line(rest.begin(), rest.end());
        line.push_back(0);
        EXPECT_EQ(receiver->setAddress(line.data()), "");
        return receiver;
    };
    auto pagerDuty = channel("pagerduty;R0UTINGKEY;" + recorder.url("/v2/enqueue"));
    auto teams = channel("teams;" + recorder.url("/workflows/abc?sig=secret"));
    node.tag = "tank_high";
    const std::string trigger =
        R"({"routing_key":"R0UTINGKEY","event_action":"trigger","dedup_key":"zentok:plantA:400001:1796627750",
            "payload":{"summary":"Tank high","source":"plantA","severity":"critical",
                       "timestamp":"2026-12-07T08:15:50+01:00","component":"tank_high",
                       "custom_details":{"node":"400001","value":120,"state":"raised",
                                         "trigger_time":"2026-12-07T08:15:50+01:00"}},
            "client":"Zentok"})";
    const std::string card =
        R"({"type":"message","attachments":[{"contentType":"application/vnd.microsoft.card.adaptive",
        "contentUrl":null,"content":{"$schema":"http://adaptivecards.io/schemas/adaptive-card.json",
        "type":"AdaptiveCard","version":"1.4","body":[
          {"type":"TextBlock","text":"TITLE: tank_high","size":"Large","weight":"Bolder","color":"COLOUR","wrap":true},
          {"type":"TextBlock","text":"TEXT","wrap":true},
          {"type":"FactSet","facts":[{"title":"Value","value":"120"},{"title":"Time","value":"TIME"},
                                     {"title":"Tag","value":"tank_high"},{"title":"Source","value":"plantA"}]}]}}]})";
    auto cardOf = [&](const char* title, const char* colour, const char* text, const char* time) {
        std::string body = card;
        for (auto [from, to] : {std::pair<std::string, std::string>{"TITLE", title},
                                {"COLOUR", colour},
                                {"TEXT", text},
                                {"TIME", time}})
            body.replace(body.find(from), from.size(), to);
        return body;
    };
    struct Case {
        Receiver* receiver;
        const char* state;
        const char* text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {pagerDuty.get(), "raised", "Tank high", trigger},
        {pagerDuty.get(), "acknowledged", "Acknowledged by ann: Tank high",
         R"({"routing_key":"R0UTINGKEY","event_action":"acknowledge","dedup_key":"zentok:plantA:400001:1796627750"})"},
        {pagerDuty.get(), "cleared", "normal",
         R"({"routing_key":"R0UTINGKEY","event_action":"resolve","dedup_key":"zentok:plantA:400001:1796627750"})"},
        {teams.get(), "raised", "Tank high",
         cardOf("Alarm", "Attention", "Tank high", "2026-12-07 08:15:50+01:00")},
        {teams.get(), "cleared", "normal", cardOf("Cleared", "Good", "normal", "2026-12-07 08:16:50+01:00")},
    };
    std::string console;
    for (const Case& each : cases) {
        node.state = each.state;
        node.decidedAt = node.state == "cleared" ? 1796627810 : 0;
        console += post(*each.receiver->notifier, each.text);
    }
    auto requests = recorder.requests();
    ASSERT_EQ(requests.size(), cases.size()) << recorder.log() << console;
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(nlohmann::json::parse(requests[i].body), nlohmann::json::parse(cases[i].expected))
            << "case " << i << ": " << requests[i].body;
    // Neither the routing key nor the workflow's signature is printed.
    EXPECT_EQ(console.find("R0UTINGKEY"), std::string::npos) << console;
    EXPECT_EQ(console.find("secret"), std::string::npos) << console;
}

TEST_F(WebhookTest, FailuresPrintOneLineEachAndSettleTheDeliveryAsFailed) {
    Recorder recorder;
    ASSERT_TRUE(recorder.start(false));
    const std::string dead = "http://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/hook";
    struct Case {
        std::string url, line;
    };
    const std::vector<Case> failures = {
        {recorder.url("/status/500"),
         "notifyWebhook::post, err 'HTTP status 500', url '" + recorder.url("/status/***") + "'\n"},
        {recorder.url("/status/301"),
         "notifyWebhook::post, err 'HTTP status 301', url '" + recorder.url("/status/***") + "'\n"},
        {dead, "notifyWebhook::post, err 'Failed to connect to 127.0.0.1 port"},
        {"file:///etc/hostname", "notifyWebhook::post, err '"},
    };
    for (const Case& c : failures) {
        char line[200];
        copyText(line, c.url.c_str());
        WebhookChannel channel(line, "r");
        DeliveryHandle delivery;
        std::string output = post(channel, "x", &delivery);
        EXPECT_EQ(countOf(output, c.line), 1) << c.url << "\n" << output;
        EXPECT_EQ(countOf(output, "::post"), 1) << output;
        EXPECT_FALSE(delivery->delivered()) << c.url;
    }
    char ntfyLine[200];
    copyText(ntfyLine, (recorder.url("/status/500") + ";token").c_str());
    NtfyChannel ntfy(ntfyLine);
    DeliveryHandle refused;
    std::string output = post(ntfy, "x", &refused);
    EXPECT_EQ(countOf(output,
                      "notifyNtfy::post, err 'HTTP status 500', url '" + recorder.url("/status/***") + "'\n"),
              1)
        << output;
    EXPECT_FALSE(refused->delivered());

    // Any status from 200 to 299 is delivered.
    char accepted[200];
    copyText(accepted, recorder.url("/status/204").c_str());
    WebhookChannel noContent(accepted, "r");
    DeliveryHandle delivered;
    EXPECT_EQ(countOf(post(noContent, "x", &delivered), "::post"), 0);
    EXPECT_TRUE(delivered->delivered());
}

// A channel address without the scheme its channel speaks stops the load
// with a line that names the line of the file; libcurl would otherwise guess
// plain HTTP for a hook (its token in clear text) or HTTP for a mail server.
// A receiver that is down: the raise fails twice and would be due after the
// clear's shorter back-off, yet the hook hears of the raise first.
TEST_F(WebhookTest, AClearWaitsForItsRetriedRaiseWhateverItsOwnBackOff) {
    Recorder recorder;
    ASSERT_TRUE(recorder.start(false));
    auto coupler = std::make_unique<Coupler>();
    coupler->retrySeconds = 3600;
    coupler->sourceCount = 1;
    copyText(coupler->sources[0].name, "plantA");
    Node& plant = coupler->nodes[coupler->nodeCount++];
    plant.source = &coupler->sources[0];
    copyText(plant.address, "400001");
    copyText(plant.message, "raised {{*}}");
    copyText(plant.alarm.normal, "cleared {{*}}");
    plant.alarm.enabled = true;
    plant.dir = coupler->findDir("alarm", true);
    Receiver& hook = coupler->receivers[coupler->receiverCount++];
    copyText(hook.name, "hook");
    auto channelTo = [&](const std::string& url) {
        std::string line = url;
        return std::make_unique<WebhookChannel>(&line[0], "hook");
    };
    hook.notifier = channelTo(recorder.url("/status/500"));
    coupler->findLink(&hook, plant.dir, true);
    auto cycleAt = [&](int second) {
        setSteadyOffsetForTesting(second * 1000);
        captured([&] {
            coupler->dispatchNotifications();
            testsupport::waitForSender();
            coupler->recordOutcomes();
        });
    };
    plant.value = 150;
    plant.active = true;
    plant.triggerTime = currentTime();
    cycleAt(0);
    plant.value = 0;
    plant.active = false;
    plant.alarmState.clearedEpisode = plant.triggerTime;
    cycleAt(11);  // the raise fails again, next at 31 s; a clear tried now would be due at 21 s
    hook.notifier = channelTo(recorder.url("/hook"));
    for (int second : {22, 32, 33}) cycleAt(second);
    setSteadyOffsetForTesting(0);
    std::vector<std::string> heard;
    for (const Recorded& request : recorder.requests())
        if (request.path == "/hook") heard.push_back(request.field("text"));
    EXPECT_EQ(heard, (std::vector<std::string>{"s:raised 150", "s:cleared 0"}));
    EXPECT_TRUE(coupler->outbox->entries().empty());
}

TEST(ChannelAddresses, AddressesWithoutTheirSchemeAreConfigurationErrors) {
    TempDir dir;
    struct Case {
        std::string line, error;
    };
    const std::vector<Case> cases = {
        {"adr;webhook;hooks.example.org/services/T0/secret",
         "*** ini error: line 3: webhook url 'hooks.example.org/services/***' needs http:// or https://\n"},
        {"adr;webhook", "*** ini error: line 3: webhook url '' needs http:// or https://\n"},
        {"adr;ntfy;ftp://ntfy.example.org/alarms;tk_1",
         "*** ini error: line 3: ntfy url 'ftp://ntfy.example.org/alarms' needs http:// or https://\n"},
        {"uplink;smtp;mail.example.org:587;u;p;zentok@example.org",
         "*** ini error: line 3: smtp url 'mail.example.org:587' needs smtp:// or smtps://\n"},
        {"uplink;smtp;http://mail.example.org;;;zentok@example.org",
         "*** ini error: line 3: smtp url 'http://mail.example.org' needs smtp:// or smtps://\n"},
        {"uplink;smtp;smtp://mail.example.org;;;zentok@example.org;verify-none",
         "*** ini error: line 3: smtp tls 'verify-none' is neither cafile:PATH nor trusted-relay\n"},
        {"uplink;srvmgr;servermanager.example.com/zentok",
         "*** ini error: line 3: srvmgr host 'servermanager.example.com/zentok' needs http:// or https://\n"},
        {"adr;webhook;HTTPS://hooks.example.org/x", ""},
        {"adr;ntfy;http://127.0.0.1:1/alarms", ""},
        {"uplink;smtp;smtps://mail.example.org;u;p;zentok@example.org;cafile:/etc/relay.pem", ""},
        {"uplink;smtp;smtp://relay.plant.local;u;p;zentok@example.org;Trusted-Relay", ""},
        {"uplink;srvmgr;https://servermanager.example.com", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        writeFile(dir.file("zentok.ini"), "source;plantA\nreceiver;ops\n" + c.line + "\ndir;alarm\n");
        Coupler coupler;
        std::string out = captured([&] { coupler.loadConfig(dir.file("zentok.ini").c_str()); });
        EXPECT_EQ(coupler.lineErrors() > 0, !c.error.empty());
        EXPECT_FALSE(coupler.iniError());
        EXPECT_EQ(out, c.error);
        EXPECT_EQ(out.find("secret"), std::string::npos);
    }

    // The check says so and ends as a start would, with status 78.
    writeFile(dir.file("zentok.ini"), "source;plantA\nreceiver;ops\nadr;webhook;hooks.example.org/x\n");
    RunResult check = runZentokIn(dir.path(), {"--check", "-i", "zentok.ini"});
    EXPECT_EQ(check.exitCode, 78) << check.output;
    EXPECT_EQ(countOf(check.output, "*** ini error: line 3: webhook url"), 1) << check.output;

    // A start says the line and runs on; the channel sends nothing to a guessed scheme.
    Coupler started;
    captured([&] { started.loadConfig(dir.file("zentok.ini").c_str()); });
    ASSERT_FALSE(started.iniError());
    Notification node;
    std::string refused = captured([&] { EXPECT_FALSE(started.receivers[0].notify(withText(node, "x"))); });
    EXPECT_NE(refused.find("receiver ops, err 'webhook url 'hooks.example.org/x' needs"), std::string::npos)
        << refused;
}

TEST_F(WebhookTest, ServersAreRefusedUnlessTheirCertificateHoldsForTheHost) {
    Recorder selfSigned;
    ASSERT_TRUE(selfSigned.start(true));
    char line[200];
    copyText(line, selfSigned.url("/hook").c_str());
    WebhookChannel channel(line, "r");
    // Without the test CA the certificate is one nobody vouches for.
    DeliveryHandle untrusted;
    std::string output = post(channel, "x", &untrusted);
    EXPECT_EQ(countOf(output, "notifyWebhook::post, err 'SSL certificate problem"), 1) << output;
    EXPECT_FALSE(untrusted->delivered());

    // A trusted certificate for another address does not do either.
    Recorder otherHost;
    ASSERT_TRUE(otherHost.start(true, "IP:127.0.0.2"));
    setHttpPostCaFileForTesting(otherHost.caFile());
    copyText(line, otherHost.url("/hook").c_str());
    WebhookChannel misnamed(line, "r");
    DeliveryHandle wrongHost;
    output = post(misnamed, "x", &wrongHost);
    EXPECT_EQ(countOf(output, "notifyWebhook::post, err '"), 1) << output;
    EXPECT_NE(output.find("127.0.0.1"), std::string::npos) << output;
    EXPECT_FALSE(wrongHost->delivered());
    EXPECT_TRUE(selfSigned.requests().empty());
    EXPECT_TRUE(otherHost.requests().empty());
}

// The demo page in examples/srvmgr takes JSON posts too and lists them.
TEST_F(WebhookTest, TheDemoPageListsTheJsonPostsItReceived) {
    TempDir data;
    PhpServer page("", sourcePath("examples/srvmgr"), {"ZENTOK_SRVMGR_DATA=" + data.file("n.jsonl")});
    ASSERT_TRUE(page.started());
    char line[200];
    copyText(line, (page.base() + "/webhook.php").c_str());
    WebhookChannel channel(line, "control room");
    DeliveryHandle delivery;
    post(channel, "Level <b>high</b> & \"rising\"", &delivery);
    EXPECT_TRUE(delivery->delivered()) << page.log();

    // The page itself, rendered by PHP's command line from the same data.
    std::string listing = runProgram({"/usr/bin/env", "ZENTOK_SRVMGR_DATA=" + data.file("n.jsonl"),
                                      "/usr/bin/php", sourcePath("examples/srvmgr/index.php")},
                                     data.path(), 10000)
                              .output;
    EXPECT_NE(
        listing.find("<td>webhook (control room)</td>\n<td>plantA</td>\n<td>400001</td>\n"
                     "<td class=\"message\">Level &lt;b&gt;high&lt;/b&gt; &amp; &quot;rising&quot;</td>"),
        std::string::npos)
        << listing;
}

}  // namespace

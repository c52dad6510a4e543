// The MQTT channel against Debian's mosquitto broker on 127.0.0.1, checked
// with mosquitto_sub: a notice lands once at QoS 1, the status topic says
// online and carries the last will, a broker that was down is used once it is
// back, and the retained state follows every change of a node's state.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "notify/MqttAddress.h"
#include "notify/MqttConnection.h"
#include "notify/NoticeFields.h"
#include "notify/channels/MqttChannel.h"
#include "support/MosquittoBroker.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"
#include "support/WorkingDirectory.h"

using namespace testsupport;

namespace {

using State = Delivery::State;

State waitSettled(const DeliveryHandle& delivery) {
    for (int i = 0; i < 3000 && !delivery->settled(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return delivery->state();
}

class MqttTest : public ::testing::Test {
  protected:
    void SetUp() override {
        notification_.sourceName = "plantA";
        notification_.address = "DB1.DBW2";
        notification_.value = 87;
        notification_.triggerTime = 1796627750;
    }

    std::unique_ptr<MqttChannel> channel(const std::string& topic) {
        std::string rest = broker_.url(topic);
        auto made = std::make_unique<MqttChannel>(&rest[0], "central");
        made->start();
        return made;
    }

    State send(MqttChannel& channel, const char* text) {
        auto delivery = std::make_shared<Delivery>("central#0");
        EXPECT_TRUE(channel.notify(withText(notification_, text), delivery));
        return waitSettled(delivery);
    }

    MosquittoBroker broker_;
    Notification notification_;
};

}  // namespace

TEST_F(MqttTest, NoticeLandsOnceWithOnlineStatusAndLastWill) {
    ASSERT_TRUE(broker_.start()) << broker_.log();
    MqttSubscriber watcher(broker_.port(), {"plant/line1/#"}, "probe/line1");
    ASSERT_TRUE(watcher.ready()) << watcher.received();

    auto central = channel("plant/line1");
    ASSERT_TRUE(watcher.waitFor("plant/line1/status online", 10000)) << watcher.received();
    EXPECT_EQ(send(*central, "Pump 3 \"failed\""), State::Delivered);
    ASSERT_TRUE(watcher.waitFor("plant/line1 {", 5000)) << watcher.received();
    std::string seen = watcher.received();
    EXPECT_EQ(countOf(seen, "plant/line1 {\"text\":\"Pump 3 \\\"failed\\\"\""), 1) << seen;
    EXPECT_NE(seen.find("\"source\":\"plantA\",\"node\":\"DB1.DBW2\",\"value\":87"), std::string::npos)
        << seen;

    // A subscriber that comes later learns the status at once.
    std::string retained = retainedMessages(broker_.port(), {"plant/line1/status"});
    EXPECT_NE(retained.find("plant/line1/status online"), std::string::npos) << retained;

    // A connection that breaks off without a goodbye leaves the last will;
    // the channel comes back and says online again.
    central->connection()->breakForTesting();
    EXPECT_TRUE(watcher.waitFor("plant/line1/status offline", 10000)) << watcher.received();
    EXPECT_EQ(send(*central, "after the break"), State::Delivered);
    EXPECT_EQ(countOf(watcher.received(), "plant/line1/status online"), 2) << watcher.received();

    // A reload's new channel takes the open connection over: no offline.
    auto reloaded = channel("plant/line1");
    EXPECT_EQ(reloaded->connection(), central->connection());
    central.reset();
    EXPECT_EQ(send(*reloaded, "after the reload"), State::Delivered);
    EXPECT_EQ(countOf(watcher.received(), "plant/line1/status offline"), 1) << watcher.received();

    // A clean end leaves the status offline, retained.
    reloaded.reset();
    EXPECT_NE(retainedMessages(broker_.port(), {"plant/line1/status"}).find("plant/line1/status offline"),
              std::string::npos);
}

TEST_F(MqttTest, BrokerDownFailsTheDeliveryAndOnceBackDeliversOnce) {
    auto central = channel("plant/line2");
    StdoutCapture capture;
    central->tellState(withText(notification_, "state while down"));
    EXPECT_EQ(send(*central, "while down"), State::Failed);
    std::string printed = capture.stop();
    EXPECT_NE(printed.find("notifyMqtt, receiver central, err 'cannot connect: Connection refused', broker "
                           "'mqtt://127.0.0.1:" +
                           std::to_string(broker_.port()) + "'"),
              std::string::npos)
        << printed;

    ASSERT_TRUE(broker_.start()) << broker_.log();
    MqttSubscriber watcher(broker_.port(), {"plant/line2"}, "probe/line2");
    ASSERT_TRUE(watcher.ready());
    // The outbox's retry of the same notice.
    EXPECT_EQ(send(*central, "while down"), State::Delivered);
    ASSERT_TRUE(watcher.waitFor("plant/line2 {", 5000)) << watcher.received();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(countOf(watcher.received(), "plant/line2 {"), 1) << watcher.received();
    // The state told while the broker was down is kept for it.
    EXPECT_NE(retainedMessages(broker_.port(), {"plant/line2/state/#"}).find("\"text\":\"state while down\""),
              std::string::npos);
}

// Through the dispatch step: a plain node that re-arms, an alarm that is
// acknowledged (a notice this receiver did not ask for) and that clears
// without a normal text while shelved each leave their retained state.
TEST_F(MqttTest, RetainedStateFollowsEveryChangeOfTheNodeWhateverNoticesAreSent) {
    ASSERT_TRUE(broker_.start()) << broker_.log();
    MqttSubscriber watcher(broker_.port(), {"plant/line4/state/#"}, "probe/line4");
    ASSERT_TRUE(watcher.ready());
    TempDir dir;
    WorkingDirectory cwd(dir.path());
    Coupler coupler;
    coupler.sourceCount = 1;
    copyText(coupler.sources[0].name, "plantA");
    Receiver& central = coupler.receivers[coupler.receiverCount++];
    copyText(central.name, "central");
    std::string line = "mqtt;" + broker_.url("plant/line4");
    ASSERT_EQ(central.setAddress(&line[0]), "");
    central.start();
    coupler.findLink(&central, coupler.findDir("alarm", true), true);
    Node* nodes[] = {coupler.findNode("400001", &coupler.sources[0], true),
                     coupler.findNode("400002", &coupler.sources[0], true)};
    for (Node* node : nodes) {
        node->dir = coupler.findDir("alarm", true);
        node->value = 87;
        copyText(node->message, "pump {{*}}");
        node->active = true;
        node->triggerTime = currentTime();
    }
    nodes[1]->alarm.enabled = true;  // no normal= text
    const std::string topic = "plant/line4/state/plantA/";
    coupler.dispatchNotifications();
    EXPECT_TRUE(watcher.waitFor(topic +
                                    "400002 {\"state\":\"active\",\"source\":\"plantA\",\"node\":\"400002\","
                                    "\"value\":87,\"since\":\"" +
                                    isoLocalTime(nodes[1]->triggerTime) + "\",\"text\":\"pump 87\"}",
                                5000))
        << watcher.received();

    std::string answer;
    EXPECT_TRUE(coupler.acknowledge(*nodes[1], {"anna"}, &answer)) << answer;
    EXPECT_TRUE(watcher.waitFor("\"acknowledged\":true", 5000)) << watcher.received();
    EXPECT_TRUE(coupler.shelveNode(*nodes[1], 600, 0, "", &answer)) << answer;
    for (Node* node : nodes) {
        node->alarmState.clearedEpisode = node->triggerTime;
        node->active = node->sent = false;
        node->triggerTime = 0;
    }
    coupler.dispatchNotifications();
    for (const char* address : {"400001", "400002"})
        EXPECT_TRUE(watcher.waitFor(topic + address + " {\"state\":\"normal\"", 5000)) << watcher.received();
}

TEST_F(MqttTest, LoginAndTlsHoldAndThePasswordIsNeverPrinted) {
    broker_.requireLogin("s3cret-broker-pw");
    ASSERT_TRUE(broker_.addTlsListener());
    ASSERT_TRUE(broker_.start()) << broker_.log();
    setMqttCaFileForTesting(broker_.caFile());
    std::string tls = "mqtts://127.0.0.1:" + std::to_string(broker_.tlsPort()) + "/plant/line3";
    std::string plain = broker_.url("plant/line3");
    StdoutCapture capture;
    std::string wrong = plain + ";press7;not-the-pw";
    MqttChannel refused(&wrong[0], "central");
    refused.start();
    EXPECT_EQ(send(refused, "refused"), State::Failed);
    std::string right = tls + ";press7;s3cret-broker-pw";
    MqttChannel overTls(&right[0], "central");
    overTls.start();
    EXPECT_EQ(send(overTls, "over TLS"), State::Delivered);
    std::string printed = capture.stop();
    setMqttCaFileForTesting("");
    EXPECT_NE(printed.find("err 'broker refused the connection: Connection Refused: not authorised.'"),
              std::string::npos)
        << printed;
    EXPECT_EQ(printed.find("s3cret-broker-pw"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("not-the-pw"), std::string::npos) << printed;
}

TEST(MqttAddressTest, ReadsUrlAndRefusesWhatCannotBePublishedTo) {
    MqttAddress address;
    EXPECT_EQ(parseMqttAddress("mqtts://broker.example.org/plants/a", "zentok", "pw", &address), "");
    EXPECT_TRUE(address.tls);
    EXPECT_EQ(address.port, 8883);
    EXPECT_EQ(address.topic, "plants/a");
    EXPECT_EQ(address.brokerText(), "mqtts://broker.example.org:8883");

    std::string huge = "mqtt://h/" + std::string(65536, 't');
    EXPECT_EQ(parseMqttAddress(huge.c_str(), nullptr, nullptr, &address),
              "mqtt topic is longer than 65535 bytes");
    EXPECT_NE(parseMqttAddress("mqtt://u:secret@h/t", nullptr, nullptr, &address).find("fields of their own"),
              std::string::npos);
    EXPECT_EQ(topicLevel("a/b+c#"), "a_b_c_");
}

// Home Assistant discovery from a configuration's "discovery" line: each
// node of the receiver's groups is a binary_sensor and a sensor with the
// keys Home Assistant's MQTT discovery needs, read from the node's retained
// state, available while the status topic says online; a reload without a
// node withdraws it.
TEST_F(MqttTest, DiscoveryAnnouncesEachNodeAndAReloadWithdrawsARemovedOne) {
    ASSERT_TRUE(broker_.start()) << broker_.log();
    TempDir dir;
    auto load = [&](bool both) {
        std::string file = dir.file(both ? "both.ini" : "one.ini");
        writeFile(file,
                  "source;plantA\nadr;modbus;tcp:127.0.0.1:1502\n"
                  "node;a;400001;Tank high;tank;O:100\ntag;tank_high\n" +
                      std::string(both ? "node;a;400002;Pump fault;tank;N\n" : "") +
                      "receiver;central\nadr;mqtt;" + broker_.url("plant/hall") +
                      "\ndiscovery;homeassistant\ndir;tank\n");
        auto coupler = std::make_unique<Coupler>();
        captured([&] { coupler->loadConfig(file.c_str()); });
        return coupler;
    };
    auto first = load(true);
    ASSERT_NE(first->receivers[0].discoveryPrefix, "");
    captured([&] { first->startChannels(); });
    const std::string tankAlarm = "homeassistant/binary_sensor/zentok_plant_hall_plantA_400001/config";
    const std::string pumpValue = "homeassistant/sensor/zentok_plant_hall_plantA_400002/config";
    ASSERT_TRUE(waitUntil(
        [&] { return retainedMessages(broker_.port(), {pumpValue}).find("{") != std::string::npos; }, 10000));
    std::string seen = retainedMessages(broker_.port(), {"homeassistant/#"});
    EXPECT_EQ(countOf(seen, "homeassistant/"), 4) << seen;
    size_t at = seen.find(tankAlarm + " ");
    ASSERT_NE(at, std::string::npos) << seen;
    auto alarm = nlohmann::json::parse(
        seen.substr(at + tankAlarm.size() + 1, seen.find('\n', at) - at - tankAlarm.size() - 1));
    // The keys Home Assistant's binary_sensor reads, and one device per coupler topic.
    const auto expected = nlohmann::json::parse(
        R"({"name":"tank_high alarm","state_topic":"plant/hall/state/plantA/tank_high","payload_on":"active",
            "value_template":"{{ value_json.state }}","payload_off":"normal","device_class":"problem",
            "availability_topic":"plant/hall/status","payload_available":"online","payload_not_available":"offline",
            "unique_id":"zentok_plant_hall_plantA_400001_alarm"})");
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(alarm[key], value) << key;
    EXPECT_EQ(alarm["device"]["identifiers"][0], "zentok_plant_hall");

    // The reload keeps the channel and withdraws the node it no longer has.
    auto second = load(false);
    captured([&] { second->takeChannelsAndStart(*first); });
    ASSERT_TRUE(waitUntil(
        [&] { return retainedMessages(broker_.port(), {pumpValue}).find(pumpValue) == std::string::npos; },
        10000))
        << retainedMessages(broker_.port(), {"homeassistant/#"});
    seen = retainedMessages(broker_.port(), {"homeassistant/#"});
    EXPECT_EQ(countOf(seen, "homeassistant/"), 2) << seen;
    EXPECT_NE(seen.find(tankAlarm), std::string::npos) << seen;
}

// The fields the channels hand on: the retained state an MQTT receiver keeps
// per node follows the notices of its alarm (active at the raise,
// acknowledged once an operator took it on, normal at the clear), and every
// channel that carries times tells a notice's own moment apart from its
// episode's raise, as a retry's console line names the notice by it.
#include "notify/NoticeFields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "notify/MailMessage.h"
#include "notify/channels/ExecChannel.h"
#include "notify/channels/FileChannel.h"
#include "notify/channels/MqttChannel.h"
#include "support/TestSupport.h"

TEST(NodeStateBody, FollowsTheEpisodeFromRaiseThroughAcknowledgementToClear) {
    Notification notification;
    notification.sourceName = "plantA";
    notification.address = "400001";
    notification.triggerTime = 1;
    notification.state = "raised";
    std::string raised = nodeStateBody(notification);
    EXPECT_NE(raised.find("\"state\":\"active\""), std::string::npos) << raised;
    EXPECT_EQ(raised.find("acknowledged"), std::string::npos) << raised;

    notification.state = "acknowledged";
    std::string acknowledged = nodeStateBody(notification);
    EXPECT_NE(acknowledged.find("\"state\":\"active\""), std::string::npos) << acknowledged;
    EXPECT_NE(acknowledged.find("\"acknowledged\":true"), std::string::npos) << acknowledged;

    notification.state = "cleared";
    std::string cleared = nodeStateBody(notification);
    EXPECT_NE(cleared.find("\"state\":\"normal\""), std::string::npos) << cleared;
    EXPECT_EQ(cleared.find("acknowledged"), std::string::npos) << cleared;
    EXPECT_EQ(cleared.find("quality"), std::string::npos) << "a good value is told as before";

    // During a link loss the state and the webhook body say the value is the last one read.
    notification.quality = "stale";
    EXPECT_NE(nodeStateBody(notification).find("\"quality\":\"stale\""), std::string::npos);
    EXPECT_NE(webhookBody(notification, "ops", 1).find("\"quality\":\"stale\""), std::string::npos);
}

TEST(NoticeTimes, EveryChannelTellsAClearsOwnMomentAndItsEpisodesRaise) {
    setenv("TZ", "UTC", 1);
    tzset();
    setClockForTesting([] { return int64_t{1796630400}; });  // sent much later, a retry
    Notification clear;
    clear.sourceName = "plantA";
    clear.address = "400001";
    clear.text = "back to normal";
    clear.state = "cleared";
    clear.triggerTime = 1796627700;  // 2026-12-07 07:15:00 UTC, the raise
    clear.decidedAt = 1796627760;    // 07:16:00, the clear
    testsupport::TempDir dir;
    std::string pattern = dir.file("log.csv");
    FileChannel file(&pattern[0]);
    file.notify(clear, nullptr);
    std::vector<std::string> environment = commandEnvironment(clear, "ops", currentTime());
    auto inEnvironment = [&](const std::string& line) {
        return std::find(environment.begin(), environment.end(), line) != environment.end();
    };
    MailContent mail;
    mail.when = currentTime();
    mail.fired = clear.triggerTime;
    mail.decided = clear.decidedAt;
    std::string body = webhookBody(clear, "ops", currentTime()), message = composeMail(mail);
    clear.attempt = 3;
    clear.textShown = true;  // a retry's console line names the notice by its own moment
    struct Row {
        const char* channel;
        bool told;
    };
    const Row rows[] = {
        {"webhook raise", body.find("\"trigger_time\":\"2026-12-07T07:15:00+00:00\"") != std::string::npos},
        {"webhook clear", body.find("\"event_time\":\"2026-12-07T07:16:00+00:00\"") != std::string::npos},
        {"command raise", inEnvironment("ZENTOK_TRIGGER_TIME=2026-12-07T07:15:00+00:00")},
        {"command clear", inEnvironment("ZENTOK_EVENT_TIME=2026-12-07T07:16:00+00:00")},
        {"mail", message.find("T: 2026-12-07 07:16:00\r\nR: 2026-12-07 07:15:00\r\n") != std::string::npos},
        {"file", testsupport::readFile(pattern).find(";2026-12-07;07:16:00;") != std::string::npos},
        {"console", consoleText(clear) == "attempt 3 of the cleared notice of 2026-12-07T07:16:00+00:00"},
    };
    for (const Row& row : rows) EXPECT_TRUE(row.told) << row.channel << "\n" << body << "\n" << message;
    setClockForTesting(nullptr);
}

// A node's tag goes with it wherever a channel names the node; a node
// without one sends what it always did.
TEST(NoticeFields, ATagNamesTheNodeInEveryChannelThatShowsIt) {
    Notification tagged;
    tagged.sourceName = "plant";
    tagged.address = "400011:FLOAT32:CDAB";
    tagged.tag = "tank_level";
    tagged.state = "raised";
    Notification plain = tagged;
    plain.tag.clear();
    MailContent mail;
    mail.address = tagged.address.c_str();
    mail.tag = tagged.tag.c_str();
    const std::pair<std::string, std::string> shown[] = {
        {webhookBody(tagged, "ops", 0), "\"node\":\"400011:FLOAT32:CDAB\",\"tag\":\"tank_level\","},
        {nodeStateBody(tagged), "\"node\":\"400011:FLOAT32:CDAB\",\"tag\":\"tank_level\","},
        {mqttStateTopic("plant", tagged), "plant/state/plant/tank_level"},
        {composeMail(mail), "A: 400011:FLOAT32:CDAB\r\nN: tank_level\r\n"},
    };
    for (const auto& [text, part] : shown) EXPECT_NE(text.find(part), std::string::npos) << text;
    EXPECT_EQ(webhookBody(plain, "ops", 0).find("tag"), std::string::npos);
    EXPECT_EQ(nodeStateBody(plain).find("tag"), std::string::npos);
    EXPECT_EQ(mqttStateTopic("plant", plain).find("tank_level"), std::string::npos);
}

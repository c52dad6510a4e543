// The retained state an MQTT receiver keeps per node follows the notices of
// its alarm: active at the raise, acknowledged once an operator took it on,
// normal at the clear.
#include "notify/NoticeFields.h"

#include <gtest/gtest.h>

#include <string>

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
}

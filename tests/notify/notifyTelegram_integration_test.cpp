// The Telegram channel against the local stand-in for the Bot API: the
// request it makes, the token kept off the console, a 429 whose retry_after
// becomes the delivery's retry time, and a refused token.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/Text.h"
#include "notify/channels/TelegramChannel.h"
#include "support/Peers.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"
#include "support/TestUplinks.h"

using namespace testsupport;

namespace {

using State = Delivery::State;
constexpr const char* kToken = "123456:AAH-secret_token";

class TelegramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.ready()) << peer_.log();
        clearUplinks();
        copyText(uplinks().telegramToken, kToken);
        copyText(uplinks().telegramApiBase,
                 ("http://127.0.0.1:" + std::to_string(peer_.port()) + "/").c_str());
        notification_.sourceName = "plantA";
        notification_.address = "400001";
    }
    void TearDown() override { clearUplinks(); }

    // One hand-over to `chat`, waited for; the console text in `printed`.
    State send(const std::string& chat, const char* text, std::string* printed,
               DeliveryHandle delivery = std::make_shared<Delivery>()) {
        std::string rest = chat;
        TelegramChannel channel(&rest[0], uplinksHandle());
        EXPECT_EQ(channel.sendFault(), "");
        StdoutCapture capture;
        EXPECT_TRUE(channel.notify(withText(notification_, text), delivery));
        waitForSender();
        *printed = capture.stop();
        return delivery->state();
    }

    // Path and body of each request the stand-in saw.
    std::vector<std::pair<std::string, std::string>> requests() const {
        std::vector<std::pair<std::string, std::string>> all;
        std::ifstream in(dir_.file("record.txt"));
        std::string path, body;
        while (in >> path >> body) all.emplace_back(fromHex(path), body == "-" ? "" : fromHex(body));
        return all;
    }

    TempDir dir_;
    PythonPeer peer_{"telegram/bot_api_peer.py", {"--record", dir_.file("record.txt")}, 120};
    Notification notification_;
};

}  // namespace

TEST_F(TelegramTest, SendsTheMessageWithTheTokenInThePathOnly) {
    std::string printed;
    EXPECT_EQ(send("-1001234567890", "Pump \"3\"\tfailed \xff", &printed), State::Delivered);
    auto seen = requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, std::string("/bot") + kToken + "/sendMessage");
    EXPECT_EQ(seen[0].second,
              "{\"chat_id\":-1001234567890,\"text\":\"Pump \\\"3\\\"\\tfailed \xef\xbf\xbd\"}");
    EXPECT_EQ(printed.find("secret_token"), std::string::npos) << printed;
}

TEST_F(TelegramTest, RefusalsFailWithTheirReasonAndRetryTime) {
    std::string printed;
    auto limited = std::make_shared<Delivery>();
    EXPECT_EQ(send("429", "too often", &printed, limited), State::Failed);
    EXPECT_EQ(limited->retryAfterSeconds(), 7);
    EXPECT_NE(
        printed.find("notifyTelegram::post, err 'HTTP status 429: Too Many Requests: retry after 7', url "
                     "'http://127.0.0.1:" +
                     std::to_string(peer_.port()) + "/bot***/sendMessage'"),
        std::string::npos)
        << printed;

    copyText(uplinks().telegramToken, "1:refused");
    auto refused = std::make_shared<Delivery>();
    EXPECT_EQ(send("42", "who are you", &printed, refused), State::Failed);
    EXPECT_EQ(refused->retryAfterSeconds(), 0);
    EXPECT_NE(printed.find("err 'HTTP status 401: Unauthorized'"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("1:refused"), std::string::npos) << printed;
}

// The server-manager channel against PHP's built-in web server: the fields
// decode back to what was sent, the exact request on the wire, and the
// failure lines of posts that do not arrive (refused, error or redirect).
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "base/Log.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "notify/Sender.h"
#include "notify/channels/SrvMgrChannel.h"
#include "support/Peers.h"
#include "support/TestSupport.h"
#include "support/TestUplinks.h"

using namespace testsupport;

namespace {

// The JSON text PHP's json_encode gives for a string (unescaped slashes and
// unicode).
std::string json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// GET of a page through libcurl, the body as text.
std::string fetch(const std::string& url) {
    std::string body;
    CURL* handle = curl_easy_init();
    if (!handle) return body;
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(
        handle, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
            static_cast<std::string*>(out)->append(data, size * count);
            return size * count;
        });
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    return body;
}

class SrvMgrTest : public ::testing::Test {
  protected:
    void SetUp() override {
        node.sourceName = "plantA";
        node.sourcePassword = "secret";
        node.address = "400001";
    }
    void TearDown() override {
        testsupport::waitForSender();
        clearUplinks();
        setLogLevel(0);
        setSrvMgrTimeoutsForTesting(0, 0);
    }

    // Posts through the channel, waits for the worker and returns the console output.
    std::string post(const char* text) {
        testing::internal::CaptureStdout();
        SrvMgrChannel channel(uplinksHandle());
        bool accepted = channel.notify(withText(node, text));
        testsupport::waitForSender();
        std::fflush(stdout);
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(accepted) << output;
        return output;
    }
    Notification node;
};

TEST_F(SrvMgrTest, EveryFieldDecodesBackToWhatWasSent) {
    PhpServer server(kPollApiRecorder);
    ASSERT_TRUE(server.started());
    copyText(uplinks().srvmgrHost, server.base().c_str());
    node.sourceName = "plant A&B=C";
    node.sourcePassword = "p+w%d \"x\"";
    node.address = "MW 10?";
    const std::string text = "Füllstand 120 % & more = \"quoted\" + 'single'\nline two / ~._-";
    std::string output = post(text.c_str());

    EXPECT_EQ(server.posts(), "{\"uri\":\"/pollapi.php\",\"post\":{\"cmd\":\"newmessage\",\"source\":" +
                                  json(node.sourceName) + ",\"pass\":" + json(node.sourcePassword) +
                                  ",\"adr\":" + json(node.address) + ",\"message\":" + json(text) + "}}\n");
    EXPECT_EQ(countOf(output, "notifySrvMgr::notify, host " + server.base() +
                                  ", source plant A&B=C, node MW 10?, text '" + text + "'\n"),
              1);
    EXPECT_EQ(countOf(output, "notifySrvMgr::post"), 0) << output;
}

TEST_F(SrvMgrTest, InfoNodesEmptyTextsLongTextsAndHostPaths) {
    PhpServer server(kPollApiRecorder);
    ASSERT_TRUE(server.started());
    // The script name is appended to the host's path unchanged.
    copyText(uplinks().srvmgrHost, (server.base() + "/srv/mgr").c_str());
    node.kind = NotificationKind::Info;
    post("");
    node.kind = NotificationKind::Message;
    post("");
    // Every "&" takes three bytes in the body: far beyond any fixed buffer.
    std::string longText(3990, '&');
    post(longText.c_str());

    EXPECT_EQ(
        server.posts(),
        "{\"uri\":\"/srv/mgr/"
        "pollapi.php\",\"post\":{\"cmd\":\"newinfo\",\"source\":\"plantA\",\"pass\":\"secret\","
        "\"adr\":\"400001\"}}\n"
        "{\"uri\":\"/srv/mgr/pollapi.php\",\"post\":{\"cmd\":\"newmessage\",\"source\":\"plantA\",\"pass\":"
        "\"secret\",\"adr\":\"400001\"}}\n"
        "{\"uri\":\"/srv/mgr/pollapi.php\",\"post\":{\"cmd\":\"newmessage\",\"source\":\"plantA\",\"pass\":"
        "\"secret\",\"adr\":\"400001\",\"message\":\"" +
            longText + "\"}}\n");
}

TEST_F(SrvMgrTest, TheRequestOnTheWireAndTheTraceAtLevelNine) {
    PhpServer server("tests/peers/srvmgr/raw.php");
    ASSERT_TRUE(server.started());
    copyText(uplinks().srvmgrHost, server.base().c_str());
    setLogLevel(8);
    std::string quiet = post("Level high: 120");
    EXPECT_EQ(countOf(quiet, "curl:"), 0);

    setLogLevel(9);
    std::string traced = post("Level high: 120");
    const std::string body =
        "cmd=newmessage&source=plantA&pass=secret&adr=400001&message=Level%20high%3A%20120";
    EXPECT_EQ(countOf(traced, "curl:\n\turl  '" + server.base() + "/pollapi.php'\n\tpost: '" + body + "'\n"),
              1)
        << traced;
    // A short reply goes to standard output as it came.
    EXPECT_EQ(countOf(traced, "ok\n"), 1);

    const std::string request =
        "POST /pollapi.php HTTP/1.1\nContent-Type: application/x-www-form-urlencoded\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\n\n" + body + "\n--\n";
    EXPECT_EQ(server.recorded("raw.txt"), request + request);
}

TEST_F(SrvMgrTest, ALongReplyShowsTwoLinesWithoutItsControlCharacters) {
    PhpServer server(kPollApiRecorder);
    ASSERT_TRUE(server.started());
    copyText(uplinks().srvmgrHost, (server.base() + "/big-reply").c_str());
    std::string output = post("Level high: 120");
    EXPECT_EQ(countOf(server.posts(), "\"message\":\"Level high: 120\""), 1) << server.posts();
    EXPECT_EQ(output.find('\x1b'), std::string::npos);
    EXPECT_EQ(countOf(output, "reply ?[1mline\nreply ?[1mline [reply cut, 1500000 bytes]\n"), 1) << output;
    EXPECT_EQ(countOf(output, "line"), 2);
    EXPECT_EQ(countOf(output, "notifySrvMgr::post"), 0) << output;
}

TEST_F(SrvMgrTest, FailedPostsPrintOneLineEach) {
    // Nobody listens on this port.
    copyText(uplinks().srvmgrHost, ("http://127.0.0.1:" + std::to_string(freeLoopbackPort())).c_str());
    std::string refused = post("x");
    EXPECT_EQ(countOf(refused, "notifySrvMgr::post, err '"), 1) << refused;

    // No host at all: shown as such, and the bare script address fails.
    uplinks().srvmgrHost[0] = 0;
    std::string noHost = post("y");
    EXPECT_EQ(countOf(noHost, "notifySrvMgr::notify, host no host, source plantA, node 400001, text 'y'\n"),
              1);
    EXPECT_EQ(countOf(noHost, "notifySrvMgr::post, err '"), 1) << noHost;

    PhpServer server(kPollApiRecorder);
    ASSERT_TRUE(server.started());
    copyText(uplinks().srvmgrHost, (server.base() + "/status500").c_str());
    std::string rejected = post("z");
    EXPECT_EQ(countOf(rejected, "notifySrvMgr::post, err 'HTTP status 500', url '" + server.base() +
                                    "/status500/pollapi.php'\n"),
              1)
        << rejected;
    // A redirect (http to https) is not followed: the post never arrived.
    copyText(uplinks().srvmgrHost, (server.base() + "/moved").c_str());
    std::string moved = post("r");
    EXPECT_EQ(countOf(moved, "notifySrvMgr::post, err 'HTTP status 301', url '" + server.base() +
                                 "/moved/pollapi.php'\n"),
              1)
        << moved;
    EXPECT_EQ(server.posts(), "");
}

TEST_F(SrvMgrTest, AServerThatNeverAnswersEndsTheTransferAtTheTimeOut) {
    // Accepts connections (in the kernel's backlog) and never answers.
    int port = 0;
    int listener = testsupport::listenOnLoopback(4, &port);
    ASSERT_GE(listener, 0);
    copyText(uplinks().srvmgrHost, ("http://127.0.0.1:" + std::to_string(port)).c_str());

    setSrvMgrTimeoutsForTesting(500, 1000);
    auto start = std::chrono::steady_clock::now();
    std::string output = post("silence");
    auto elapsed = std::chrono::steady_clock::now() - start;
    close(listener);
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_EQ(countOf(output, "notifySrvMgr::post, err '"), 1) << output;
    EXPECT_NE(output.find("timed out"), std::string::npos) << output;
}

TEST_F(SrvMgrTest, TwoReceiversWithoutChannelPostTwice) {
    PhpServer server(kPollApiRecorder);
    ASSERT_TRUE(server.started());
    auto coupler = std::make_unique<Coupler>();
    copyText(coupler->uplinks->srvmgrHost, server.base().c_str());
    coupler->sourceCount = 1;
    copyText(coupler->sources[0].name, "plantA");
    Node& fired = coupler->nodes[coupler->nodeCount++];
    fired.source = &coupler->sources[0];
    copyText(fired.address, "400001");
    copyText(fired.message, "Level high: {{*}}");
    fired.value = 120;
    fired.dir = coupler->findDir("alarm", true);
    fired.active = true;
    coupler->receiverCount = 2;
    coupler->findLink(&coupler->receivers[0], fired.dir, true);
    coupler->findLink(&coupler->receivers[1], fired.dir, true);

    testing::internal::CaptureStdout();
    coupler->dispatchNotifications();
    EXPECT_TRUE(waitForSender());
    std::fflush(stdout);
    std::string output = testing::internal::GetCapturedStdout();

    const std::string line =
        "{\"uri\":\"/pollapi.php\",\"post\":{\"cmd\":\"newmessage\",\"source\":\"plantA\",\"pass\":"
        "\"\",\"adr\":\"400001\",\"message\":\"Level high: 120\"}}\n";
    EXPECT_EQ(server.posts(), line + line) << output;
    EXPECT_TRUE(fired.sent);
}

// The demo page in examples/srvmgr stores what it gets and shows it escaped.
TEST_F(SrvMgrTest, TheDemoPageListsTheNotificationsItReceived) {
    TempDir data;
    PhpServer page("", sourcePath("examples/srvmgr"), {"ZENTOK_SRVMGR_DATA=" + data.file("n.jsonl")});
    ASSERT_TRUE(page.started());
    copyText(uplinks().srvmgrHost, page.base().c_str());
    post("Level <b>high</b> & \"rising\"");

    std::string listing = fetch(page.base() + "/");
    EXPECT_NE(
        listing.find("<td>plantA</td>\n<td>400001</td>\n<td class=\"message\">Level &lt;b&gt;high&lt;/b&gt; "
                     "&amp; &quot;rising&quot;</td>"),
        std::string::npos)
        << listing;
    EXPECT_EQ(readFile(data.file("n.jsonl")).find("secret"), std::string::npos) << "the password is not kept";
}

}  // namespace

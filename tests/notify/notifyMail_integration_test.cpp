// The mail channel against a real SMTP server (aiosmtpd, tests/peers/smtp):
// STARTTLS and plain text, AUTH PLAIN and LOGIN, refused logins, a server
// that is down or stalls, and end to end with build/zentok. The peer parses
// each received message with Python's email package, as a mail client would.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "notify/channels/MailChannel.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"
#include "support/TestUplinks.h"

using namespace testsupport;

namespace {

// Sunday, 6 December 2026, 12:16:40 UTC; 13:16:40 one hour east.
constexpr int64_t kSunday = 1796559400;
const std::string kUmlautText =
    "F\xC3\xBCllstand \xC3\xBC"
    "ber 120 \xC2\xB0"
    "C";

struct PeerOptions {
    bool tls = true;
    std::string user;
    std::string password;
    std::string mechanism;
    bool requireAuth = false;
    bool stall = false;
};

class SmtpPeer {
  public:
    bool start(const std::string& workDir, const PeerOptions& options, const std::string& certDir) {
        port_ = freeLoopbackPort();
        outdir_ = workDir + "/smtp-" + std::to_string(port_);
        if (std::system(("mkdir -p '" + outdir_ + "'").c_str()) != 0) return false;
        std::vector<std::string> argv{kPython,      sourcePath("tests/peers/smtp/smtp_peer.py"),
                                      "--port",     std::to_string(port_),
                                      "--outdir",   outdir_,
                                      "--lifetime", "120"};
        if (options.tls)
            argv.insert(argv.end(), {"--cert", certDir + "/cert.pem", "--key", certDir + "/key.pem"});
        if (!options.user.empty())
            argv.insert(argv.end(), {"--user", options.user, "--password", options.password});
        if (!options.mechanism.empty()) argv.insert(argv.end(), {"--mechanism", options.mechanism});
        if (options.requireAuth) argv.push_back("--require-auth");
        if (options.stall) argv.push_back("--stall");
        return process_.start(argv, outdir_ + "/peer.log") && waitForPort(port_, 15000);
    }
    std::string url() const { return "smtp://127.0.0.1:" + std::to_string(port_); }
    std::string file(int n, const std::string& ext) const {
        return outdir_ + "/msg-" + std::to_string(n) + ext;
    }
    std::string authFailures() const { return readFile(outdir_ + "/auth-failures.log"); }
    std::string log() const { return readFile(outdir_ + "/peer.log"); }

    bool waitForMessage(int n, int timeoutMs = 15000) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!fileExists(file(n, ".meta"))) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // The "key: value" lines the peer wrote about message n.
    std::multimap<std::string, std::string> meta(int n) const {
        std::multimap<std::string, std::string> out;
        std::string text = readFile(file(n, ".meta"));
        size_t at = 0;
        for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            std::string line = text.substr(at, end - at);
            size_t colon = line.find(": ");
            if (colon != std::string::npos) out.emplace(line.substr(0, colon), line.substr(colon + 2));
        }
        return out;
    }
    std::string metaValue(int n, const std::string& key) const {
        auto m = meta(n);
        auto it = m.find(key);
        return it == m.end() ? "<missing>" : it->second;
    }

  private:
    Process process_;
    int port_ = -1;
    std::string outdir_;
};

std::string withoutCr(std::string text) {
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

class MailChannelTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        certDir_ = new TempDir;
        std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
            "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout '" +
            certDir_->file("key.pem") + "' -out '" + certDir_->file("cert.pem") + "' >/dev/null 2>&1";
        certMade_ = std::system(command.c_str()) == 0;
    }
    static void TearDownTestSuite() {
        delete certDir_;
        certDir_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(certMade_) << "openssl could not make the test certificate";
        const char* tz = std::getenv("TZ");
        hadTz_ = tz != nullptr;
        if (tz) savedTz_ = tz;
        setenv("TZ", "CET-1", 1);
        tzset();
        setClockForTesting([] { return kSunday; });
        clearUplinks();
        copyText(uplinks().smtpFrom, "zentok@plant.example");
        node_.sourceName = "plantA";
        node_.address = "400001";
        node_.value = 119.6;
    }
    void TearDown() override {
        testsupport::waitForSender();
        setMailTimeoutsForTesting(0, 0);
        setClockForTesting(nullptr);
        clearUplinks();
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    bool startPeer(SmtpPeer& peer, const PeerOptions& options) {
        if (!peer.start(dir_.path(), options, certDir_->path())) return false;
        copyText(uplinks().smtpUrl, peer.url().c_str());
        // The test's certificate stands for a site's own CA.
        copyText(uplinks().smtpTls, ("cafile:" + certDir_->file("cert.pem")).c_str());
        return true;
    }

    // One notification through a fresh channel; returns notify's result.
    bool send(const std::string& rest, const std::string& text) {
        std::vector<char> buffer(rest.begin(), rest.end());
        buffer.push_back(0);
        MailChannel channel(buffer.data(), uplinksHandle());
        return channel.notify(withText(node_, text.c_str()));
    }

    // Sends, waits for the sender threads and returns what was printed.
    std::string sendAndWait(const std::string& rest, const std::string& text, bool* result = nullptr) {
        StdoutCapture capture;
        bool sent = send(rest, text);
        testsupport::waitForSender();
        if (result) *result = sent;
        return capture.stop();
    }

    TempDir dir_;
    Notification node_;

  private:
    static TempDir* certDir_;
    static bool certMade_;
    bool hadTz_ = false;
    std::string savedTz_;
};

TempDir* MailChannelTest::certDir_ = nullptr;
bool MailChannelTest::certMade_ = false;

}  // namespace

TEST_F(MailChannelTest, ArrivesOverStartTlsWithLoginAsAMailClientReadsIt) {
    for (const char* mechanism : {"PLAIN", "LOGIN"}) {
        SCOPED_TRACE(mechanism);
        SmtpPeer peer;
        ASSERT_TRUE(startPeer(peer, {true, "zentok", "s3cret", mechanism, true, false}));
        copyText(uplinks().smtpUser, "zentok");
        copyText(uplinks().smtpPassword, "s3cret");
        // Fired a minute before sending, as a retried mail was.
        node_.triggerTime = kSunday - 62;
        bool result = false;
        std::string out = sendAndWait("ops@example.org", kUmlautText, &result);
        EXPECT_TRUE(result);
        EXPECT_NE(out.find("notifyMail::notify, source plantA, node 400001, text '" + kUmlautText + "'\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("notifyMail::send"), std::string::npos) << out;
        ASSERT_TRUE(peer.waitForMessage(1)) << peer.log();

        EXPECT_EQ(peer.metaValue(1, "mail_from"), "zentok@plant.example");
        EXPECT_EQ(peer.metaValue(1, "rcpt_count"), "1");
        EXPECT_EQ(peer.metaValue(1, "rcpt"), "ops@example.org");
        EXPECT_EQ(peer.metaValue(1, "tls"), "yes");
        EXPECT_EQ(peer.metaValue(1, "auth"), std::string(mechanism) + " zentok");
        EXPECT_EQ(peer.metaValue(1, "defects"), "0");
        EXPECT_EQ(peer.metaValue(1, "date"), "2026-12-06T13:16:40+01:00");
        EXPECT_EQ(peer.metaValue(1, "date_offset"), "3600");
        EXPECT_EQ(peer.metaValue(1, "content_type"), "text/plain");
        EXPECT_EQ(peer.metaValue(1, "charset"), "utf-8");
        std::string id = peer.metaValue(1, "message_id");
        EXPECT_EQ(id.front(), '<');
        EXPECT_EQ(id.substr(id.size() - std::string("@plant.example>").size()), "@plant.example>");

        EXPECT_EQ(readFile(peer.file(1, ".subject")), "plantA: " + kUmlautText);
        EXPECT_EQ(withoutCr(readFile(peer.file(1, ".body"))),
                  "M: " + kUmlautText + "\nT: 2026-12-06 13:15:38\nS: plantA\nA: 400001\nV: 120\n\n" +
                      "sent by Zentok, " + kMakerAddress + "\n");
        std::string raw = readFile(peer.file(1, ".eml"));
        EXPECT_FALSE(hasBareLineEnd(raw));
        EXPECT_EQ(raw.rfind("From: zentok@plant.example\r\nTo: ops@example.org\r\n"
                            "Date: Sun, 06 Dec 2026 13:16:40 +0100\r\nSubject: =?UTF-8?B?",
                            0),
                  0u)
            << raw;
        EXPECT_EQ(peer.authFailures(), "");
    }
}

TEST_F(MailChannelTest, GoesInPlainTextWithoutStartTlsWhenNoLoginIsConfigured) {
    // The server offers AUTH but does not require it: without a configured
    // login none is attempted.
    SmtpPeer peer;
    ASSERT_TRUE(startPeer(peer, {false, "zentok", "s3cret", "", false, false}));
    std::string out = sendAndWait("ops@example.org", "Level high: 120");
    EXPECT_EQ(out.find("notifyMail::send"), std::string::npos) << out;
    ASSERT_TRUE(peer.waitForMessage(1)) << peer.log();
    EXPECT_EQ(peer.metaValue(1, "tls"), "no");
    EXPECT_EQ(peer.metaValue(1, "auth"), "-");
    EXPECT_EQ(peer.authFailures(), "");
    EXPECT_EQ(readFile(peer.file(1, ".subject")), "plantA: Level high: 120");
}

TEST_F(MailChannelTest, ALoginGoesOnlyOverVerifiedTlsUnlessTheRelayIsTrusted) {
    SmtpPeer plain;
    ASSERT_TRUE(startPeer(plain, {false, "zentok", "s3cret", "", false, false}));
    copyText(uplinks().smtpUser, "zentok");
    copyText(uplinks().smtpPassword, "s3cret");
    // A server that offers no STARTTLS (or a man in the middle who strips
    // it) gets neither the login nor the mail.
    bool result = false;
    std::string out = sendAndWait("ops@example.org", "Level high: 121", &result);
    EXPECT_TRUE(result) << "the job was started";
    EXPECT_EQ(countOf(out, "notifyMail::send, recipient ops@example.org, err '"), 1) << out;
    EXPECT_FALSE(fileExists(plain.file(1, ".meta")));
    EXPECT_EQ(plain.authFailures(), "");

    // A relay the operator trusts may take it in plain text.
    copyText(uplinks().smtpTls, "trusted-relay");
    out = sendAndWait("ops@example.org", "Level high: 122");
    EXPECT_EQ(out.find("notifyMail::send"), std::string::npos) << out;
    ASSERT_TRUE(plain.waitForMessage(1)) << plain.log() << out;
    EXPECT_EQ(plain.metaValue(1, "tls"), "no");
    EXPECT_NE(plain.metaValue(1, "auth").find(" zentok"), std::string::npos);

    // Over STARTTLS the certificate must hold against the system's store,
    // which does not know the test's own.
    SmtpPeer secured;
    ASSERT_TRUE(startPeer(secured, {true, "zentok", "s3cret", "", true, false}));
    uplinks().smtpTls[0] = 0;
    out = sendAndWait("ops@example.org", "Level high: 123");
    EXPECT_EQ(countOf(out, "notifyMail::send, recipient ops@example.org, err '"), 1) << out;
    EXPECT_NE(out.find("certificate"), std::string::npos) << out;
    EXPECT_FALSE(fileExists(secured.file(1, ".meta")));
    EXPECT_EQ(secured.authFailures(), "");
}

TEST_F(MailChannelTest, RefusedLoginPrintsTheFailureAndTheNextMailStillGoes) {
    SmtpPeer peer;
    ASSERT_TRUE(startPeer(peer, {true, "zentok", "s3cret", "", true, false}));
    copyText(uplinks().smtpUser, "zentok");
    copyText(uplinks().smtpPassword, "wrong");
    bool result = false;
    std::string out = sendAndWait("ops@example.org", "Level high: 120", &result);
    EXPECT_TRUE(result) << "the job was started";
    EXPECT_EQ(countOf(out, "notifyMail::send, recipient ops@example.org, err '"), 1) << out;
    EXPECT_NE(peer.authFailures(), "");
    EXPECT_FALSE(fileExists(peer.file(1, ".meta")));

    // Without a login the server refuses the sender; that too is reported.
    uplinks().smtpUser[0] = uplinks().smtpPassword[0] = 0;
    out = sendAndWait("ops@example.org", "Level high: 120");
    EXPECT_EQ(countOf(out, "notifyMail::send, recipient ops@example.org, err '"), 1) << out;

    copyText(uplinks().smtpUser, "zentok");
    copyText(uplinks().smtpPassword, "s3cret");
    out = sendAndWait("ops@example.org", "Level high: 121");
    EXPECT_EQ(out.find("notifyMail::send"), std::string::npos) << out;
    ASSERT_TRUE(peer.waitForMessage(1)) << peer.log();
    EXPECT_EQ(readFile(peer.file(1, ".subject")), "plantA: Level high: 121");
}

TEST_F(MailChannelTest, RecipientIsCutAtTheFirstColonAndKeepsASemicolon) {
    SmtpPeer peer;
    ASSERT_TRUE(startPeer(peer, {false, "", "", "", false, false}));
    sendAndWait("ops@example.org:cc@example.org;x", "one");
    ASSERT_TRUE(peer.waitForMessage(1)) << peer.log();
    EXPECT_EQ(peer.metaValue(1, "rcpt_count"), "1");
    EXPECT_EQ(peer.metaValue(1, "rcpt"), "ops@example.org");

    // The semicolon stays in the address, which this server then refuses.
    std::string out = sendAndWait("ops;team@example.org:cc@example.org", "two");
    EXPECT_EQ(countOf(out, "notifyMail::send, recipient ops;team@example.org, err '"), 1) << out;
    EXPECT_FALSE(fileExists(peer.file(2, ".meta")));
}

TEST_F(MailChannelTest, LineBreaksInEnvelopeAddressesAreRefusedBeforeAnythingIsSent) {
    SmtpPeer peer;
    ASSERT_TRUE(startPeer(peer, {false, "", "", "", false, false}));
    // A line break would end the command early and send the rest as one of its own.
    bool result = true;
    std::string out = sendAndWait("ops@example.org\r\nBcc", "one", &result);
    EXPECT_FALSE(result);
    EXPECT_EQ(countOf(out,
                      "notifyMail::send, recipient ops@example.org??Bcc, "
                      "err 'control character in the recipient address'\n"),
              1)
        << out;
    out = sendAndWait("ops@example.org\rBcc", "two", &result);
    EXPECT_FALSE(result);
    EXPECT_EQ(countOf(out, "err 'control character in the recipient address'\n"), 1) << out;

    copyText(uplinks().smtpFrom, "zentok@plant.example>\r\nRCPT TO:<evil@example.net");
    out = sendAndWait("ops@example.org", "three", &result);
    EXPECT_FALSE(result);
    EXPECT_EQ(countOf(out,
                      "notifyMail::send, recipient ops@example.org, err 'control character in the sender "
                      "address'\n"),
              1)
        << out;

    // A clean mail afterwards is the only one the server ever got.
    copyText(uplinks().smtpFrom, "zentok@plant.example");
    sendAndWait("ops@example.org", "four");
    ASSERT_TRUE(peer.waitForMessage(1)) << peer.log();
    EXPECT_EQ(peer.metaValue(1, "mail_from"), "zentok@plant.example");
    EXPECT_EQ(peer.metaValue(1, "rcpt_count"), "1");
    EXPECT_EQ(readFile(peer.file(1, ".subject")), "plantA: four");
    EXPECT_FALSE(fileExists(peer.file(2, ".meta")));
}

TEST_F(MailChannelTest, ServerDownIsReportedAndTheNextReceiverIsServed) {
    SmtpPeer peer;
    ASSERT_TRUE(startPeer(peer, {true, "", "", "", false, false}));
    std::string liveUrl = uplinks().smtpUrl;
    std::string deadUrl = "smtp://127.0.0.1:" + std::to_string(freeLoopbackPort());

    StdoutCapture capture;
    copyText(uplinks().smtpUrl, deadUrl.c_str());
    bool first = send("down@example.org", "first");
    // libcurl took its own copy of the URL, so the setting may change now.
    copyText(uplinks().smtpUrl, liveUrl.c_str());
    bool second = send("ops@example.org", "second");
    testsupport::waitForSender();
    std::string out = capture.stop();

    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
    EXPECT_EQ(countOf(out, "notifyMail::notify, source plantA"), 2) << out;
    EXPECT_EQ(countOf(out, "notifyMail::send, recipient down@example.org, err '"), 1) << out;
    EXPECT_EQ(countOf(out, "notifyMail::send"), 1) << out;
    ASSERT_TRUE(peer.waitForMessage(1)) << peer.log();
    EXPECT_EQ(peer.metaValue(1, "rcpt"), "ops@example.org");
    EXPECT_FALSE(fileExists(peer.file(2, ".meta")));

    // No server address at all is a failure of the transfer as well.
    uplinks().smtpUrl[0] = 0;
    out = sendAndWait("ops@example.org", "third");
    EXPECT_EQ(countOf(out, "notifyMail::send, recipient ops@example.org, err '"), 1) << out;
}

TEST_F(MailChannelTest, StallingServerNeitherHoldsTheDispatchNorKeepsTheSender) {
    SmtpPeer peer;
    ASSERT_TRUE(startPeer(peer, {true, "", "", "", false, true}));
    std::string url = uplinks().smtpUrl;
    // The transfer time-out outlasts the dispatch's own 10-second wait, so
    // the wait has to give up on the sender.
    setMailTimeoutsForTesting(2000, 13000);

    // One node of one source, active and not sent, for one mail receiver.
    Coupler coupler;
    copyText(coupler.uplinks->smtpUrl, url.c_str());
    copyText(coupler.uplinks->smtpFrom, "zentok@plant.example");
    copyText(coupler.sources[0].name, "plantA");
    coupler.sourceCount = 1;
    Node& node = coupler.nodes[0];
    node.source = &coupler.sources[0];
    copyText(node.address, "400001");
    copyText(node.message, "stalled");
    node.dir = coupler.findDir("alarm", true);
    node.active = true;
    coupler.nodeCount = 1;
    char address[] = "mail;ops@example.org";
    coupler.receivers[0].setAddress(address);
    coupler.receiverCount = 1;
    coupler.findLink(&coupler.receivers[0], node.dir, true);
    coupler.prepareTemplates();

    StdoutCapture capture;
    auto start = std::chrono::steady_clock::now();
    coupler.dispatchNotifications();
    auto waited = std::chrono::steady_clock::now() - start;
    // The sender gives up by itself at its transfer time-out.
    bool reported = capture.waitFor("notifyMail::send, recipient ops@example.org, err '", 30000);
    std::string out = capture.stop();

    EXPECT_TRUE(node.sent);
    EXPECT_NE(out.find("notifyMail::notify, source plantA, node 400001, text 'stalled'\n"), std::string::npos)
        << out;
    EXPECT_LT(waited, std::chrono::milliseconds(11500)) << "the dispatch waits at most 10 seconds";
    EXPECT_TRUE(reported) << out;
    EXPECT_TRUE(out.find("timeout") != std::string::npos || out.find("timed out") != std::string::npos)
        << out;
}

TEST_F(MailChannelTest, LongTextArrivesWholeInSubjectAndBody) {
    SmtpPeer peer;
    ASSERT_TRUE(startPeer(peer, {false, "", "", "", false, false}));
    std::string text;
    for (int i = 0; i < 150; ++i) text += "value" + std::to_string(i) + " ";
    text += std::string(1200, 'z') + " " + kUmlautText + " = end";
    ASSERT_GT(text.size(), 2000u);
    std::string out = sendAndWait("ops@example.org", text);
    EXPECT_EQ(out.find("notifyMail::send"), std::string::npos) << out;
    ASSERT_TRUE(peer.waitForMessage(1)) << peer.log();
    EXPECT_EQ(peer.metaValue(1, "defects"), "0");
    EXPECT_EQ(readFile(peer.file(1, ".subject")), "plantA: " + text);
    std::string body = withoutCr(readFile(peer.file(1, ".body")));
    EXPECT_EQ(body.substr(0, text.size() + 4), "M: " + text + "\n");
    std::string raw = readFile(peer.file(1, ".eml"));
    EXPECT_FALSE(hasBareLineEnd(raw));
    size_t at = 0;
    for (size_t end; (end = raw.find("\r\n", at)) != std::string::npos; at = end + 2)
        EXPECT_LE(end - at, 998u) << "a line longer than SMTP allows";
}

// End to end: a node on an unreachable Modbus source reads 1.0 at "!OFFLINE",
// its condition N fires, and each mail receiver linked to its group gets one
// mail; a second run finds the firing in the states file and sends nothing.
TEST(MailEndToEnd, FiringNodeMailsEachLinkedReceiverOnceAndARestartSendsNone) {
    TempDir dir;
    SmtpPeer peer;
    ASSERT_TRUE(peer.start(dir.path(), {false, "", "", "", false, false}, ""));
    std::string config =
        "coupler;runmode;single\n"
        "source;plantA\n"
        "adr;modbus;tcp:127.0.0.1:" +
        std::to_string(freeLoopbackPort()) +
        "\n"
        "node;a;!OFFLINE;PLC offline;alarm;N\n"
        "receiver;ops\n"
        "adr;mail;ops@example.org\n"
        "dir;alarm\n"
        "receiver;boss\n"
        "adr;mail;boss@example.org:ignored\n"
        "dir;alarm\n"
        "receiver;elsewhere\n"
        "adr;mail;other@example.org\n"
        "dir;status\n"
        "uplink;smtp;" +
        peer.url() + ";;;zentok@plant.example\n";
    writeFile(dir.file("zentok.ini"), config);

    RunResult first = runZentokIn(dir.path(), {"-i", "zentok.ini"}, 30000);
    ASSERT_FALSE(first.timedOut) << first.output;
    EXPECT_EQ(countOf(first.output, "notifyMail::notify, source plantA, node !OFFLINE, text 'PLC offline'\n"),
              2)
        << first.output;
    EXPECT_EQ(countOf(first.output, "notifyMail::send"), 0) << first.output;
    ASSERT_TRUE(peer.waitForMessage(1)) << peer.log();
    ASSERT_TRUE(peer.waitForMessage(2)) << peer.log();
    std::vector<std::string> recipients{peer.metaValue(1, "rcpt"), peer.metaValue(2, "rcpt")};
    std::sort(recipients.begin(), recipients.end());
    EXPECT_EQ(recipients, (std::vector<std::string>{"boss@example.org", "ops@example.org"}));
    EXPECT_EQ(readFile(peer.file(1, ".subject")), "plantA: PLC offline");
    EXPECT_NE(readFile(peer.file(1, ".body")).find("V: 1"), std::string::npos);

    RunResult second = runZentokIn(dir.path(), {"-i", "zentok.ini"}, 30000);
    ASSERT_FALSE(second.timedOut) << second.output;
    EXPECT_EQ(countOf(second.output, "notifyMail::notify"), 0) << second.output;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(fileExists(peer.file(3, ".meta")));
}

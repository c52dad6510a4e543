// The S7 layer against a misbehaving peer of our own (tests/peers/s7_bad_peer.py,
// its scenarios named in support/S7PeerScenarios.h):
// refused connections, broken answers, segmented answers and silence, each
// failing with its own code within the time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "sources/s7/Nodave.h"
#include "sources/s7/S7Session.h"
#include "support/Peers.h"
#include "support/S7PeerScenarios.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace s7peer;

namespace {

constexpr int kShortTimeoutUs = 400000;

// One link of the layer and the result of its connect sequence.
struct Link {
    S7Session session;
    daveConnection* dc = nullptr;
    int connectResult = -100;

    Link(int port, int slot, int timeoutUs = kShortTimeoutUs) {
        if (!session.openTcp("127.0.0.1", port, timeoutUs)) return;
        connectResult = session.connectPlc(slot);
        dc = session.connection();
    }
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

class S7BadPeer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        peer_ = new PythonPeer(kMisbehavingS7Peer, {}, 200);
        port_ = peer_->port();
        ASSERT_TRUE(peer_->ready()) << peer_->log();
    }
    static void TearDownTestSuite() {
        delete peer_;
        peer_ = nullptr;
    }
    static int port_;
    static PythonPeer* peer_;
};

int S7BadPeer::port_ = 0;
PythonPeer* S7BadPeer::peer_ = nullptr;

TEST_F(S7BadPeer, ConnectFailsWithItsOwnCode) {
    EXPECT_EQ(Link(port_, kSlotNormal).connectResult, 0);
    EXPECT_EQ(Link(port_, kSlotDisconnect).connectResult, daveErrConnectRefused);
    EXPECT_EQ(Link(port_, kSlotSetupError).connectResult, daveErrSetupRefused);
    EXPECT_EQ(Link(port_, kSlotWrongPduRef).connectResult, daveErrPduRef);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Link(port_, kSlotSilent).connectResult, daveErrTimeout);
    double took = secondsSince(start);
    EXPECT_GE(took, 0.35);
    EXPECT_LT(took, 2.0);

    // A failed connect leaves no usable connection behind.
    Link refused(port_, kSlotDisconnect);
    uint8_t buf[4];
    EXPECT_EQ(daveReadBytes(refused.dc, daveFlags, 0, 0, 2, buf), daveErrNotConnected);
}

TEST_F(S7BadPeer, BrokenAnswersFailTheReadAndLeaveTheBufferAlone) {
    struct Case {
        int start;
        int expected;
        const char* what;
    };
    const Case cases[] = {
        {kStartWrongPduRef, daveErrPduRef, "wrong PDU reference"},
        {kStartShortPacket, daveErrShortAnswer, "short packet"},
        {kStartTpktLonger, daveErrTimeout, "TPKT length larger than the packet"},
        {kStartTpktHuge, daveErrPacketTooLarge, "TPKT length larger than the buffer"},
        {kStartItemTooLong, daveErrSizeMismatch, "item longer than requested"},
        {kStartSilent, daveErrTimeout, "silence"},
        {kStartItemError, 5, "item return code 5"},
        {kStartJobRefused, daveErrJobRefused, "job refused"},
        {kStartClose, daveErrClosed, "connection closed"},
        {kStartItemCodeZero, daveErrMalformed, "item return code 0"},
        {kStartTpktVersion, daveErrMalformed, "TPKT version"},
        {kStartProtocolId, daveErrMalformed, "protocol id"},
    };
    for (const Case& c : cases) {
        Link link(port_, kSlotNormal);
        ASSERT_EQ(link.connectResult, 0) << c.what;
        uint8_t buf[8];
        std::memset(buf, 0xEE, sizeof buf);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(daveReadBytes(link.dc, daveFlags, 0, c.start, 2, buf), c.expected) << c.what;
        EXPECT_LT(secondsSince(start), 2.0) << c.what << ": every wait is bounded by the time-out";
        EXPECT_EQ(buf[0], 0xEE) << c.what;
        EXPECT_EQ(buf[2], 0xEE) << c.what;
        EXPECT_STRNE(daveStrerror(c.expected), daveStrerror(0)) << c.what;
    }
}

TEST_F(S7BadPeer, AfterATransportFailureTheLinkIsNotTrustedAgain) {
    Link link(port_, kSlotNormal);
    ASSERT_EQ(link.connectResult, 0);
    uint8_t buf[4] = {};
    ASSERT_EQ(daveReadBytes(link.dc, daveFlags, 0, kStartWrongPduRef, 2, buf), daveErrPduRef);
    // A late or stray answer would be taken for the next one: nothing more is read.
    EXPECT_EQ(daveReadBytes(link.dc, daveFlags, 0, 0, 2, buf), daveErrNotConnected);

    // An item error leaves the stream in step; the next read works.
    Link other(port_, kSlotNormal);
    ASSERT_EQ(other.connectResult, 0);
    EXPECT_EQ(daveReadBytes(other.dc, daveFlags, 0, kStartItemError, 2, buf), 5);
    EXPECT_EQ(daveReadBytes(other.dc, daveFlags, 0, 0, 2, buf), 0);
    EXPECT_EQ(daveGetU16from(buf), 0x1234u);
}

// A repeated answer and one nobody asked for, carrying the next PDU
// reference, wait in the socket when the next request goes out; they must
// not be taken as its answer.
TEST_F(S7BadPeer, BytesQueuedBeforeARequestAreNotItsAnswer) {
    for (int start : {kStartRepeated, kStartStrayAnswer}) {
        Link link(port_, kSlotNormal);
        ASSERT_EQ(link.connectResult, 0) << start;
        uint8_t buf[2] = {};
        ASSERT_EQ(daveReadBytes(link.dc, daveFlags, 0, start, 2, buf), 0) << start;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (int i = 0; i < 2; ++i) {
            std::memset(buf, 0, sizeof buf);
            EXPECT_EQ(daveReadBytes(link.dc, daveFlags, 0, 0, 2, buf), 0) << start;
            EXPECT_EQ(daveGetU16from(buf), 0x1234u) << start;
        }
    }
}

TEST_F(S7BadPeer, AnswersInSeveralSegmentsAreReassembled) {
    Link link(port_, kSlotNormal, 3000000);
    ASSERT_EQ(link.connectResult, 0);
    EXPECT_EQ(daveGetMaxPDULen(link.dc), 480);
    uint8_t buf[4] = {};
    ASSERT_EQ(daveReadBytes(link.dc, daveFlags, 0, kStartByteByByte, 4, buf), 0);
    EXPECT_EQ(daveGetU32from(buf), 0x12345678u);
    std::memset(buf, 0, sizeof buf);
    ASSERT_EQ(daveReadBytes(link.dc, daveFlags, 0, kStartTwoPackets, 2, buf), 0);
    EXPECT_EQ(daveGetU16from(buf), 0x1234u);
    // Requests the layer cannot carry are refused before anything is sent.
    EXPECT_EQ(daveReadBytes(link.dc, daveFlags, 0, -1, 2, buf), daveErrInvalidArgs);
    EXPECT_EQ(daveReadBytes(link.dc, daveFlags, 0, 0x200000, 2, buf), daveErrInvalidArgs);
    EXPECT_EQ(daveReadBytes(link.dc, daveFlags, 0, 0, 0, buf), daveErrInvalidArgs);
    EXPECT_EQ(daveReadBytes(link.dc, daveFlags, 0, 0, 480, buf), daveErrInvalidArgs);
    EXPECT_EQ(daveReadBytes(link.dc, 0x99, 0, 0, 2, buf), daveErrInvalidArgs);
    EXPECT_EQ(daveReadBytes(link.dc, daveFlags, 0, 0, 2, nullptr), daveErrInvalidArgs);
    EXPECT_EQ(daveReadBytes(link.dc, daveFlags, 0, 0, 2, buf), 0);
}

TEST(S7Open, SocketsAndTheOnlineDriverFailCleanly) {
    int closedPort = freeLoopbackPort();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(openSocket(closedPort, "127.0.0.1"), 0);
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_EQ(openSocket(102, "not.an.address"), 0);
    EXPECT_EQ(openSocket(0, "127.0.0.1"), 0);
    EXPECT_EQ(openSocket(70000, "127.0.0.1"), 0);
    EXPECT_EQ(openSocket(102, nullptr), 0);

    uint8_t buf[2];
    {
        S7Session session;
        session.openS7online(5000000);
        EXPECT_EQ(daveInitAdapter(session.interface()), daveErrNoDriver);
        EXPECT_EQ(session.connectPlc(2), daveErrNoDriver);
        EXPECT_EQ(daveReadBytes(session.connection(), daveFlags, 0, 0, 2, buf), daveErrNotConnected);
    }
    EXPECT_EQ(daveReadBytes(nullptr, daveFlags, 0, 0, 2, buf), daveErrNotConnected);
}

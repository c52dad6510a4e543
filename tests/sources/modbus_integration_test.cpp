// ModbusConnection against real peers on loopback: Debian's pymodbus server,
// our misbehaving peer with magic registers, a listener that closes, a
// listener whose backlog is full, and build/zentok end to end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/Log.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "sources/SourceWorker.h"
#include "sources/modbus/ModbusConnection.h"
#include "support/ModbusPeerScenarios.h"
#include "support/NodeAddress.h"
#include "support/Peers.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace modbuspeer;

namespace {

struct Read {
    bool ok;
    double value;
    std::string output;
};

// Reads one address; the node starts at 42 so that a value of 0 is seen.
// With a source, a type behind the address is taken as a load would.
Read readAt(ModbusConnection& c, const std::string& address, SourceEntry* source = nullptr) {
    Node node;
    node.value = 42.0;
    node.source = source;
    std::string why;
    if (!setAddress(node, "modbus", address, &why) && source) ADD_FAILURE() << address << ": " << why;
    Read r{};
    r.output = captured([&] { r.ok = c.read(&node); });
    r.value = node.value;
    return r;
}

class ModbusPeerTest : public testing::Test {
  protected:
    void SetUp() override { setLogLevel(9); }
    void TearDown() override { setLogLevel(0); }
};

using ModbusPymodbus = ModbusPeerTest;
using ModbusMisbehaving = ModbusPeerTest;
using ModbusLink = ModbusPeerTest;

TEST_F(ModbusPymodbus, EveryTableAndBothAddressForms) {
    PythonPeer peer(kPymodbusServer);
    ASSERT_TRUE(peer.ready()) << peer.log();
    ModbusConnection c;
    ASSERT_TRUE(c.connect(peer.parameters().c_str()));

    // The server holds distinct values at neighbouring protocol addresses, so
    // a shift by one would read a different value.
    struct Case {
        const char* address;
        double value;
    } cases[] = {
        {"0:0", 1},      {"0:1", 0},   {"40001", 1},    {"40002", 0},   {"0:65535", 1},  {"100001", 1},
        {"1:2", 0},      {"1:7", 1},   {"300005", 777}, {"3:6", 0},     {"3:10", 65535}, {"400000", 11},
        {"400001", 120}, {"4:1", 120}, {"400002", 100}, {"4:3", 65535}, {"4:4", 0},      {"4:65535", 4660},
    };
    uint16_t tid = c.transactionId();
    for (const Case& k : cases) {
        Read r = readAt(c, k.address);
        EXPECT_TRUE(r.ok) << k.address << ": " << r.output;
        EXPECT_EQ(r.value, k.value) << k.address;
        EXPECT_EQ(c.transactionId(), ++tid) << k.address;
    }
    Read r = readAt(c, "400001");
    EXPECT_NE(r.output.find("ModbusRead, IP 127.0.0.1, Addr 4:1\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("+ModbusRead: 4:1 = 120\n"), std::string::npos) << r.output;

    // An address the server does not hold: exception 2, the link stays.
    r = readAt(c, "4:7");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.value, 42.0);
    EXPECT_NE(r.output.find("-ModbusRead, Exception 2: illegal data address, node 4:7 at 127.0.0.1:"),
              std::string::npos)
        << r.output;
    EXPECT_TRUE(c.isConnected());
    EXPECT_TRUE(readAt(c, "4:2").ok);
}

// Bytes on the wire to values: each register pair of the server read as
// each type and word order in one request; NaN and infinity fail the read
// and keep the value. Unit 17 goes out and pymodbus echoes it.
TEST_F(ModbusPymodbus, KnownAnswersOfTheValueTypes) {
    PythonPeer peer(kPymodbusServer);
    ASSERT_TRUE(peer.ready()) << peer.log();
    ModbusConnection c;
    ASSERT_TRUE(c.connect((peer.parameters() + ":17").c_str()));
    SourceEntry source;
    copyText(source.type, "modbus");
    source.unitId = 17;

    struct Case {
        const char* address;
        bool ok;
        double value;
    } cases[] = {
        {"400200:FLOAT32", true, 21.5},
        {"400200:float32:abcd", true, 21.5},
        {"400202:FLOAT32:CDAB", true, -21.5},
        {"400216:FLOAT32", true, 0.1},  // the float's shortest decimal, not 0.100000001490116
        {"400206:FLOAT32", true, 3.4028235e38},
        {"400204:FLOAT32", false, 42.0},  // NaN
        {"400212:FLOAT32", false, 42.0},  // infinity
        {"400208:INT32", true, -2},
        {"400208:INT32:CDAB", true, -65537},  // 0xFFFE FFFF
        {"400208:UINT32", true, 4294967294.0},
        {"4:210:INT32", true, -2147483648.0},
        {"400214:INT16", true, -32768},
        {"300010:INT16", true, -1},
    };
    for (const Case& k : cases) {
        Read r = readAt(c, k.address, &source);
        EXPECT_EQ(r.ok, k.ok) << k.address << ": " << r.output;
        EXPECT_EQ(r.value, k.value) << k.address;
        if (!k.ok) {
            EXPECT_NE(r.output.find("-read, adr " + std::string(k.address)), std::string::npos) << r.output;
        }
    }
    EXPECT_TRUE(c.isConnected());
}

TEST_F(ModbusMisbehaving, AGivenUnitIdMustBeEchoedOtherwiseNoneIsChecked) {
    PythonPeer peer(kMisbehavingModbusPeer);
    ASSERT_TRUE(peer.ready()) << peer.log();
    ModbusConnection c;
    ASSERT_TRUE(c.connect(peer.parameters().c_str()));
    SourceEntry unit5, none;
    unit5.unitId = 5;

    Read r = readAt(c, holding(kPlain), &unit5);
    EXPECT_TRUE(r.ok) << r.output;
    r = readAt(c, holding(kOtherUnit), &unit5);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.value, 42.0);
    EXPECT_NE(r.output.find("-ModbusRead, answer from unit 6, asked unit 5\n"), std::string::npos)
        << r.output;
    // Without a unit id in the parameters unit 0 goes out and any answer counts, as before.
    r = readAt(c, holding(kOtherUnit), &none);
    EXPECT_TRUE(r.ok) << r.output;
    EXPECT_EQ(r.value, kOtherUnit);
}

TEST_F(ModbusMisbehaving, RefusalsFailTheReadButKeepTheLink) {
    PythonPeer peer(kMisbehavingModbusPeer);
    ASSERT_TRUE(peer.ready()) << peer.log();
    ModbusConnection c;
    ASSERT_TRUE(c.connect(peer.parameters().c_str()));

    struct Case {
        int reg;
        const char* message;
    } cases[] = {
        {kException, "-ModbusRead, Exception 2: illegal data address, node "},
        {kWrongTid, "-ModbusRead, wrong TID\n"},
        {kWrongFunction, "-ModbusRead, wrong response 4\n"},
    };
    for (const Case& k : cases) {
        Read r = readAt(c, holding(k.reg));
        EXPECT_FALSE(r.ok) << k.reg;
        EXPECT_EQ(r.value, 42.0) << k.reg;
        EXPECT_NE(r.output.find(k.message), std::string::npos) << k.reg << ": " << r.output;
        EXPECT_TRUE(c.isConnected()) << k.reg;
    }
    Read r = readAt(c, holding(kPlain));
    EXPECT_TRUE(r.ok) << r.output;
    EXPECT_EQ(r.value, kPlain);
}

TEST_F(ModbusMisbehaving, AnswersInPiecesAreAssembled) {
    PythonPeer peer(kMisbehavingModbusPeer);
    ASSERT_TRUE(peer.ready()) << peer.log();
    ModbusConnection c;
    ASSERT_TRUE(c.connect(peer.parameters().c_str()));
    for (int reg : {kTwoSegments, kByteByByte}) {
        Read r = readAt(c, holding(reg));
        EXPECT_TRUE(r.ok) << reg << ": " << r.output;
        EXPECT_EQ(r.value, reg);
    }
    EXPECT_TRUE(c.isConnected());
}

TEST_F(ModbusMisbehaving, BrokenAnswersCloseTheLinkAndTheNextReadGetsItsOwnAnswer) {
    PythonPeer peer(kMisbehavingModbusPeer);
    ASSERT_TRUE(peer.ready()) << peer.log();
    struct Case {
        int reg;
        const char* message;
    } cases[] = {
        {kLate, "-ModbusRead, no response\n"},
        {kHalfThenClose, "-ModbusRead, connection closed by device\n"},
        {kGarbage, "-ModbusRead, malformed response\n"},
        {kHugeLength, "-ModbusRead, malformed response\n"},
        {kSilent, "-ModbusRead, no response\n"},
        {kWrongByteCount, "-ModbusRead, malformed response\n"},
        {kClose, "-ModbusRead, connection closed by device\n"},
    };
    ModbusConnection c;
    for (const Case& k : cases) {
        ASSERT_TRUE(c.connect(peer.parameters().c_str())) << k.reg;
        Read r = readAt(c, holding(k.reg));
        EXPECT_FALSE(r.ok) << k.reg;
        EXPECT_EQ(r.value, 42.0) << k.reg;
        EXPECT_NE(r.output.find(k.message), std::string::npos) << k.reg << ": " << r.output;
        EXPECT_NE(r.output.find("Closing ModbusTCP connection to 127.0.0.1\n"), std::string::npos) << k.reg;
        EXPECT_FALSE(c.isConnected()) << k.reg;

        // A read on a closed link sends nothing.
        uint16_t tid = c.transactionId();
        EXPECT_FALSE(readAt(c, holding(kPlain)).ok);
        EXPECT_EQ(c.transactionId(), tid);
    }
    // The late answer went to a closed link; a new one answers for itself.
    ASSERT_TRUE(c.connect(peer.parameters().c_str()));
    Read r = readAt(c, holding(kPlain));
    EXPECT_TRUE(r.ok) << r.output;
    EXPECT_EQ(r.value, kPlain);
}

// Bytes behind a complete answer, in the same segment or a repeated answer
// 200 ms later: the answer is taken either way, and the extra bytes are never
// taken as the answer to the next request, or every later read would get its
// predecessor's answer.
TEST_F(ModbusMisbehaving, BytesBehindAnAnswerAreDiscarded) {
    PythonPeer peer(kMisbehavingModbusPeer);
    ASSERT_TRUE(peer.ready()) << peer.log();
    for (int extra : {kTrailingBytes, kRepeated}) {
        ModbusConnection c;
        ASSERT_TRUE(c.connect(peer.parameters().c_str()));
        Read r = readAt(c, holding(extra));
        EXPECT_TRUE(r.ok) << extra << ": " << r.output;
        EXPECT_EQ(r.value, extra);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (int reg : {kPlain, kPlain + 1, kPlain + 2}) {
            r = readAt(c, holding(reg));
            EXPECT_TRUE(r.ok) << extra << " " << reg << ": " << r.output;
            EXPECT_EQ(r.value, reg) << extra;
        }
        EXPECT_TRUE(c.isConnected()) << extra;
    }
}

TEST_F(ModbusMisbehaving, SourceReconnectsAtTheNextNodeStep) {
    PythonPeer peer(kMisbehavingModbusPeer);
    ASSERT_TRUE(peer.ready()) << peer.log();
    SourceEntry source;
    std::strcpy(source.type, "modbus");
    std::strcpy(source.parameters, peer.parameters().c_str());
    Node dropped, next;
    dropped.source = next.source = &source;
    setAddress(dropped, "modbus", holding(kClose));
    setAddress(next, "modbus", "400123");

    captured([&] {
        EXPECT_FALSE(source.readNode(&dropped));
        EXPECT_FALSE(source.isConnected());
        EXPECT_TRUE(source.readNode(&next));
    });
    EXPECT_EQ(next.value, 123.0);
    EXPECT_TRUE(source.isConnected());
}

// A device (or a gateway) that closes links idle for 200 ms, softly (FIN) or
// hard (RST): the read that finds its link closed connects again at once and
// gets its answer on the new link. Once the device is gone the read fails,
// without a signal.
TEST_F(ModbusLink, DeviceThatClosesIdleLinks) {
    for (const char* how : {"--idle-close", "--idle-reset"}) {
        PythonPeer peer(kMisbehavingModbusPeer, {how, "0.2"});
        ASSERT_TRUE(peer.ready()) << peer.log();
        ModbusConnection c;
        ASSERT_TRUE(c.connect(peer.parameters().c_str())) << how;
        for (int reg : {kPlain, kPlain + 1}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            Read r = readAt(c, holding(reg));
            EXPECT_TRUE(r.ok) << how << " " << reg << ": " << r.output;
            EXPECT_EQ(r.value, reg) << how;
            EXPECT_TRUE(c.isConnected()) << how;
        }
        peer.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Read r = readAt(c, holding(kPlain));
        EXPECT_FALSE(r.ok) << how;
        EXPECT_EQ(r.value, 42.0) << how;
        std::string at = "127.0.0.1:" + std::to_string(peer.port());
        std::string refused = "-Connect (" + at + "), 111: Connection refused, " + at + "\n";
        EXPECT_NE(r.output.find(refused), std::string::npos) << how << ": " << r.output;
        EXPECT_FALSE(c.isConnected()) << how;
    }
}

// A listener whose accept queue is full drops new connection requests, as a
// device that is switched off would: the connect gives up on its own.
TEST_F(ModbusLink, UnreachableDeviceGivesUpAfterFiveSeconds) {
    SilentListener listener(0, 0);
    ASSERT_TRUE(listener.ok());
    int port = listener.port();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));

    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(f);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    setLogLevel(1);
    ModbusConnection c;
    std::string parameters = "tcp:127.0.0.1:" + std::to_string(port);
    bool ok = true;
    auto start = std::chrono::steady_clock::now();
    std::string out = captured([&] { ok = c.connect(parameters.c_str()); });
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_FALSE(ok);
    EXPECT_FALSE(c.isConnected());
    std::string at = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(out, "-Connect (" + at + "), 110: Connection timed out, " + at + "\n");
    EXPECT_GT(seconds, 4.0);
    EXPECT_LT(seconds, 10.0);
    for (int f : fillers) ::close(f);
}

TEST_F(ModbusLink, TransactionIdSkipsZeroAndSurvivesReconnects) {
    PythonPeer peer(kMisbehavingModbusPeer);
    ASSERT_TRUE(peer.ready()) << peer.log();
    ModbusConnection c;
    captured([&] { ASSERT_TRUE(c.connect(peer.parameters().c_str())); });
    EXPECT_EQ(c.transactionId(), 0);
    EXPECT_TRUE(readAt(c, holding(kPlain)).ok);
    EXPECT_EQ(c.transactionId(), 1);

    c.setTransactionIdForTesting(65534);
    EXPECT_TRUE(readAt(c, holding(kPlain)).ok);
    EXPECT_EQ(c.transactionId(), 65535);
    captured([&] {
        c.close();
        ASSERT_TRUE(c.connect(peer.parameters().c_str()));
    });
    EXPECT_EQ(c.transactionId(), 65535);
    Read r = readAt(c, holding(kPlain));  // the peer echoes the identifier it received
    EXPECT_TRUE(r.ok) << r.output;
    EXPECT_EQ(r.value, kPlain);
    EXPECT_EQ(c.transactionId(), 1);
}

// build/zentok in single mode against the pymodbus server: the node over its
// threshold fires, the one at the threshold does not.
TEST(ModbusEndToEnd, ThresholdNodeFiresAndItsStateIsWritten) {
    PythonPeer peer(kPymodbusServer);
    ASSERT_TRUE(peer.ready()) << peer.log();
    TempDir dir;
    writeFile(dir.file("plant.ini"),
              "coupler;runmode;single\n"
              "coupler;loglevel;9\n"
              "source;plant\n"
              "adr;modbus;" +
                  peer.parameters() +
                  "\n"
                  "node;a;400001;Level high: {{*}};alarm;O:100\n"
                  "node;a;400002;Level high: {{*}};alarm;O:100\n");
    RunResult run = runZentokIn(dir.path(), {"-i", dir.file("plant.ini")}, 30000);
    EXPECT_FALSE(run.timedOut) << run.output;
    EXPECT_NE(run.output.find("Modbus connect: IP '127.0.0.1', port " + std::to_string(peer.port()) + "\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("+ModbusRead: 4:1 = 120\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("+ModbusRead: 4:2 = 100\n"), std::string::npos) << run.output;

    // Each states line: "source";"address";fired;lastRead;readError;value.
    std::string states = readFile(dir.file("zentok_states.csv"));
    size_t over = states.find("\"plant\";\"400001\";");
    size_t at = states.find("\"plant\";\"400002\";");
    ASSERT_NE(over, std::string::npos) << states;
    ASSERT_NE(at, std::string::npos) << states;
    std::string overLine = states.substr(over, states.find('\n', over) - over);
    std::string atLine = states.substr(at, states.find('\n', at) - at);
    EXPECT_NE(overLine.substr(std::strlen("\"plant\";\"400001\";"), 1), ";") << overLine;  // fired
    EXPECT_EQ(overLine.substr(overLine.size() - 4), ";120") << overLine;
    EXPECT_EQ(atLine.substr(std::strlen("\"plant\";\"400002\";"), 1), ";") << atLine;  // not fired
    EXPECT_EQ(atLine.substr(atLine.size() - 4), ";100") << atLine;
}

}  // namespace

// The read step: a refused address and an exception answer fail their own
// node; the nodes behind them are read. A lost link ends the walk.
TEST_F(ModbusMisbehaving, OnlyALostLinkStopsTheNodesBehindAFailedOne) {
    PythonPeer peer(kMisbehavingModbusPeer);
    ASSERT_TRUE(peer.ready()) << peer.log();
    SourceEntry source;
    std::strcpy(source.type, "modbus");
    std::strcpy(source.parameters, peer.parameters().c_str());
    Node nodes[3];
    auto walk = [&](const std::string& first, const std::string& second) {
        const std::string addresses[] = {first, second, holding(kPlain)};
        for (int i = 0; i < 3; ++i) {
            nodes[i].source = &source;
            nodes[i].value = 42.0;
            setAddress(nodes[i], "modbus", addresses[i]);
        }
        source.nodes = nodes;
        source.nodeCount = 3;
        source.failedReads = 0;
        captured([&] { readThread(&source); });
    };

    walk(holding(kException), "4x0001");
    EXPECT_EQ(source.failedReads, 2);
    EXPECT_EQ(nodes[2].value, kPlain) << "the node behind two bad ones is read";

    walk(holding(kSilent), holding(kPlain));
    EXPECT_EQ(source.failedReads, 1);
    EXPECT_EQ(nodes[1].value, 42.0) << "after a time-out the rest waits for the next cycle";
}

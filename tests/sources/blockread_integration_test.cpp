// Block reads end to end, through the read step of one cycle: Modbus against
// the misbehaving peer (a block of holding registers that covers a magic
// register is refused with exception 2) and S7 against node-snap7, where a
// data block the server does not have is an item error. A bad address inside
// a block fails alone; its neighbours are read, in the same cycle.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Log.h"
#include "base/Text.h"
#include "sources/SourceEntry.h"
#include "sources/SourceWorker.h"
#include "sources/modbus/ModbusConnection.h"
#include "support/ModbusPeerScenarios.h"
#include "support/NodeAddress.h"
#include "support/Peers.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// A source of `type` with one node per address; each node starts at 42.
struct Cycle {
    SourceEntry source;
    std::vector<Node> nodes;

    Cycle(const char* type, const std::string& parameters, const std::vector<std::string>& addresses)
        : nodes(addresses.size()) {
        copyText(source.type, type);
        copyText(source.parameters, parameters.c_str());
        for (size_t i = 0; i < addresses.size(); ++i) {
            nodes[i].source = &source;
            nodes[i].value = 42.0;
            setAddress(nodes[i], type, addresses[i]);
        }
        source.nodes = nodes.data();
        source.nodeCount = static_cast<int>(nodes.size());
    }

    // One cycle's read step; what it printed.
    std::string run() {
        source.failedReads = 0;
        source.goodReads = 0;
        return captured([&] { readThread(&source); });
    }
};

size_t occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

}  // namespace

TEST(BlockRead, ModbusRefusedBlockIsReadNodeByNode) {
    PythonPeer peer(kMisbehavingModbusPeer);
    ASSERT_TRUE(peer.ready()) << peer.log();
    setLogLevel(1);
    // 4:0 to 4:17 is one block that covers the peer's exception register 2;
    // 4:100 to 4:121 one block it answers, a 32-bit value among them.
    Cycle c("modbus", peer.parameters(), {"4:100", "4:0", "4:2", "4:1", "4:17", "4:103:UINT32", "4:121"});
    std::string output = c.run();
    setLogLevel(0);
    auto* link = dynamic_cast<ModbusConnection*>(c.source.connection.get());
    ASSERT_NE(link, nullptr) << output;
    EXPECT_EQ(c.source.failedReads, 1) << output;
    EXPECT_EQ(c.source.goodReads, 6) << output;
    const double expected[] = {100, 0, 42, 1, 17, 103 * 65536.0 + 104, 121};
    for (size_t i = 0; i < c.nodes.size(); ++i)
        EXPECT_EQ(c.nodes[i].value, expected[i]) << c.nodes[i].address;
    EXPECT_EQ(c.nodes[2].readError, kReadFailed);
    EXPECT_NE(output.find("Exception 2: illegal data address, node 4:2"), std::string::npos) << output;
    // Two block requests, and the four nodes of the refused one each alone.
    EXPECT_EQ(link->transactionId(), 6) << output;

    // The next cycle asks the same way: the refusal is no reason to stop grouping.
    output = c.run();
    EXPECT_EQ(link->transactionId(), 12) << output;
    EXPECT_EQ(c.source.goodReads, 6) << output;
}

namespace {

int gS7Port = 0;
Process* gS7Server = nullptr;

}  // namespace

class BlockReadS7 : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        gS7Port = freeLoopbackPort();
        gS7Server = new Process;
        ASSERT_TRUE(
            gS7Server->start({"/usr/bin/env", "node", sourcePath("tests/peers/s7/s7server.js"), "--port",
                              std::to_string(gS7Port), "--lifetime", "120", "--set", "MK:20:1234", "--set",
                              "DB10:4:ABCD", "--set", "DB10:8:01020304", "--timer", "5:1234"}) &&
            waitForPort(gS7Port, 15000))
            << "is node-snap7 installed in tests/peers/s7?";
    }
    static void TearDownTestSuite() {
        delete gS7Server;
        gS7Server = nullptr;
    }
};

TEST_F(BlockReadS7, ItemsShareAJobAndAnItemErrorFailsItsNodeAlone) {
    setLogLevel(3);
    // DB2 does not exist on the server: its item comes back with an error.
    Cycle c("simatic", "tcp:127.0.0.1:" + std::to_string(gS7Port),
            {"MW20", "DB10.DBW4", "DB2.DBW0", "DB10.DBD8", "T5", "DB10.DBB8"});
    std::string output = c.run();
    setLogLevel(0);
    EXPECT_EQ(c.source.failedReads, 1) << output;
    const double expected[] = {0x1234, 0xABCD, 42, 0x01020304, 0x1234, 1};
    for (size_t i = 0; i < c.nodes.size(); ++i)
        EXPECT_EQ(c.nodes[i].value, expected[i]) << c.nodes[i].address;
    EXPECT_NE(c.nodes[2].readError, 0);
    EXPECT_NE(output.find("read plc: adr DB2.DBW0, err"), std::string::npos) << output;
    // One job for all six, then the refused item alone.
    EXPECT_EQ(occurrences(output, "s7: read 6 items: 0"), 1U) << output;
    EXPECT_EQ(occurrences(output, "s7: read area"), 1U) << output;
}

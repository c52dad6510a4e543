// Modbus RTU against Debian's pymodbus serving RTU frames: over TCP as a
// serial gateway does, and on one end of a pty pair that socat makes, with
// the port vanishing and coming back. In RTU framing the peer spoils the CRC
// of its answer to holding register 300.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/Log.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "sources/modbus/ModbusConnection.h"
#include "support/NodeAddress.h"
#include "support/Peers.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

constexpr const char* kSocat = "/usr/bin/socat";

struct Read {
    bool ok;
    double value;
    std::string output;
};

// Reads one address through the source, as a cycle's worker does.
Read readAt(SourceEntry& source, const std::string& address) {
    Node node;
    node.value = 42.0;
    node.source = &source;
    std::string why;
    if (!setAddress(node, "modbus", address, &why)) ADD_FAILURE() << address << ": " << why;
    source.lastRead = 0;
    Read r{};
    r.output = captured([&] { r.ok = source.readNode(&node); });
    r.value = node.value;
    return r;
}

void useLink(SourceEntry& source, const std::string& parameters) {
    copyText(source.type, "modbus");
    copyText(source.parameters, parameters.c_str());
    EXPECT_TRUE(source.readUnitId()) << parameters;
}

// Every table and value type, an exception, and an answer with a damaged
// CRC: that read fails with its line, the link stays open and the next read
// is in step.
void readTheTables(SourceEntry& source) {
    struct Case {
        const char* address;
        double value;
    } cases[] = {
        {"0:0", 1},
        {"1:7", 1},
        {"300005", 777},
        {"400001", 120},
        {"4:200:FLOAT32", 21.5},
        {"4:202:FLOAT32:CDAB", -21.5},
        {"4:208:INT32", -2},
    };
    for (const Case& k : cases) {
        Read r = readAt(source, k.address);
        EXPECT_TRUE(r.ok) << k.address << "\n" << r.output;
        EXPECT_EQ(r.value, k.value) << k.address;
    }
    Read refused = readAt(source, "4:7");
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.output.find("-ModbusRead, Exception 2: illegal data address, node 4:7"),
              std::string::npos)
        << refused.output;
    Read damaged = readAt(source, "4:300");
    EXPECT_FALSE(damaged.ok);
    EXPECT_NE(damaged.output.find("-ModbusRead, RTU answer with CRC error (7 bytes), line resynchronised\n"),
              std::string::npos)
        << damaged.output;
    EXPECT_TRUE(source.isConnected()) << "a damaged answer keeps the line";
    Read next = readAt(source, "400002");
    EXPECT_TRUE(next.ok) << next.output;
    EXPECT_EQ(next.value, 100);
    EXPECT_EQ(next.output.find("connect"), std::string::npos) << next.output;
}

class ModbusRtu : public testing::Test {
  protected:
    void SetUp() override { setLogLevel(9); }
    void TearDown() override { setLogLevel(0); }
};

TEST_F(ModbusRtu, OverATcpGatewayAndThroughTheProbe) {
    PythonPeer peer(kPymodbusServer, {"--rtu"});
    ASSERT_TRUE(peer.ready()) << peer.log();
    const std::string link = "rtutcp:127.0.0.1:" + std::to_string(peer.port()) + ":1";
    SourceEntry source;
    useLink(source, link);
    readTheTables(source);

    TempDir dir;
    writeFile(dir.file("gateway.ini"), "source;plant\nadr;modbus;" + link +
                                           "\nnode;a;400001;Level {{*}};alarm;O:100\n"
                                           "node;a;4:200:FLOAT32;Flow {{*}};alarm;O:100\n");
    RunResult run = runZentokIn(dir.path(), {"probe", "-i", "gateway.ini"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("probe: 2 of 2 nodes read\n"), std::string::npos) << run.output;
}

// A pty pair: the peer serves on one end, the source reads the other.
class PtyPair {
  public:
    explicit PtyPair(const TempDir& dir) : dir_(dir) {}
    bool start() {
        std::remove(device().c_str());
        socat_.start({"/usr/bin/timeout", "60", kSocat, "pty,raw,echo=0,link=" + dir_.file("plc"),
                      "pty,raw,echo=0,link=" + device()},
                     dir_.file("socat.log"));
        if (!waitUntil([&] { return fileExists(dir_.file("plc")) && fileExists(device()); }, 10000))
            return false;
        // A pty keeps no parity, and pyserial will not set one on it: 8N1.
        peer_.start({kPython, sourcePath("tests/peers/modbus/pymodbus_server.py"), "--serial",
                     dir_.file("plc"), "--baud", "19200", "--format", "8N1", "--lifetime", "60"},
                    dir_.file("peer.log"));
        return waitUntil(
            [&] { return contentOf(dir_.file("peer.log")).find("serving") != std::string::npos; }, 10000);
    }
    void stop() {
        socat_.stop();
        peer_.stop();
    }
    std::string device() const { return dir_.file("zentok"); }
    std::string log() const { return contentOf(dir_.file("socat.log")) + contentOf(dir_.file("peer.log")); }

  private:
    const TempDir& dir_;
    Process socat_;
    Process peer_;
};

TEST_F(ModbusRtu, OnASerialPortThatVanishesAndComesBack) {
    if (!fileExists(kSocat)) GTEST_SKIP() << "socat is not installed (scripts/apt-packages.txt names it)";
    TempDir dir;
    PtyPair pair(dir);
    ASSERT_TRUE(pair.start()) << pair.log();
    SourceEntry source;
    useLink(source, "rtu:" + pair.device() + ":19200:8N1:1");
    readTheTables(source);

    // The adapter is unplugged: the read fails and the port is closed.
    pair.stop();
    Read lost = readAt(source, "400001");
    EXPECT_FALSE(lost.ok) << lost.output;
    EXPECT_FALSE(source.isConnected()) << lost.output;
    EXPECT_NE(lost.output.find("-Serial port " + pair.device() + " gone, opening it again\n"),
              std::string::npos)
        << lost.output;

    // Plugged in again: a later read reopens the port after its back-off.
    ASSERT_TRUE(pair.start()) << pair.log();
    Read back{};
    EXPECT_TRUE(waitUntil([&] { return (back = readAt(source, "400001")).ok; }, 10000))
        << back.output << pair.log();
    EXPECT_EQ(back.value, 120);
}

}  // namespace

// S7Connection against a real S7 server (node-snap7's S7Server in
// tests/peers/s7/) and against the misbehaving peer: every address form, the
// failure messages, reconnection, the USB and MPI kinds, the debug traces and
// one run of build/zentok end to end.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/Log.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "sources/s7/S7Connection.h"
#include "support/NodeAddress.h"
#include "support/Peers.h"
#include "support/S7PeerScenarios.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

// The values the server holds; the tests below read them back.
const std::vector<std::string> kServerContents = {
    "--set", "MK:20:1234", "--set", "MK:10:08", "--set", "MK:30:FFFF", "--set", "MK:40:FFFFFFFF", "--set",
    "MK:7:80", "--set", "MK:8:01", "--set", "PE:4:DEADBEEF", "--set", "PA:0:5A", "--set", "DB10:4:ABCD",
    "--set", "DB10:2:20", "--set", "DB10:12:08", "--set", "DB10:8:01020304", "--set", "DB1:3:7F", "--timer",
    "5:1234", "--counter", "3:0042",
    // REAL 21.5, -21.5, NaN, the largest; INT -2, -32768; DINT largest, smallest; REAL -infinity
    "--set", "DB10:40:41AC0000C1AC00007FC000007F7FFFFF", "--set", "DB10:56:FFFE80007FFFFFFF80000000", "--set",
    "DB10:68:FF800000", "--set", "MK:60:3DCCCCCD",  // REAL 0.1
};

bool startS7Server(Process& server, int port) {
    // execv does not search PATH; env finds node wherever it was installed.
    std::vector<std::string> argv{
        "/usr/bin/env", "node", sourcePath("tests/peers/s7/s7server.js"), "--port", std::to_string(port),
        "--lifetime",   "250"};
    argv.insert(argv.end(), kServerContents.begin(), kServerContents.end());
    return server.start(argv) && waitForPort(port, 15000);
}

std::string parametersFor(int port) {
    return "tcp:127.0.0.1:" + std::to_string(port);
}

Node nodeAt(const char* address, double value = 42.0) {
    Node node;
    setAddress(node, "simatic", address);
    node.value = value;
    node.readError = -1000;
    return node;
}

std::string upperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

class NodaveServer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        port_ = freeLoopbackPort();
        server_ = new Process;
        ASSERT_TRUE(startS7Server(*server_, port_)) << "is node-snap7 installed in tests/peers/s7?";
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    static int port_;
    static Process* server_;
};

int NodaveServer::port_ = 0;
Process* NodaveServer::server_ = nullptr;

TEST_F(NodaveServer, EveryAddressFormReadsItsValueUnsigned) {
    S7Connection plc;
    ASSERT_TRUE(plc.connect(parametersFor(port_).c_str()));
    ASSERT_TRUE(plc.isConnected());
    EXPECT_EQ(plc.kind, S7Connection::Tcp);
    EXPECT_EQ(plc.slot, 2);

    struct Case {
        const char* address;
        double value;
    };
    const Case cases[] = {
        {"MW20", 4660},
        {"mw20", 4660},
        {"FW20", 4660},
        {"MB20", 0x12},
        {"M10.3", 1},
        {"M10.2", 0},
        {"m7.7", 1},
        {"M7.0", 0},
        {"M8.0", 1},
        {"M8.7", 0},
        {"MW30", 65535},
        {"MD40", 4294967295.0},
        {"ED4", 3735928559.0},
        {"ID4", 3735928559.0},
        {"EW4", 0xDEAD},
        {"E4.1", 1},
        {"E4.0", 0},
        {"AB0", 0x5A},
        {"OB0", 0x5A},
        {"A0.1", 1},
        {"DB10.DBW4", 0xABCD},
        {"db10.dbw4", 0xABCD},
        {"DB10.DBD8", 0x01020304},
        {"DB10.DBB8", 1},
        {"DB10.DBX2.5", 1},
        {"DB10.DBX2.4", 0},
        {"DB10.DBX12.3", 1},
        {"db10.dbx12.3", 1},
        {"DB1.DBB3", 0x7F},
        {"T5", 0x1234},
        {"t5", 0x1234},
        {"Z3", 0x42},
        {"C3", 0x42},
        {"MW100", 0},
    };
    for (const Case& c : cases) {
        Node node = nodeAt(c.address);
        EXPECT_TRUE(plc.read(&node)) << c.address;
        EXPECT_EQ(node.value, c.value) << c.address;
        EXPECT_EQ(node.readError, 0) << c.address;
    }
    EXPECT_TRUE(plc.isConnected());
}

// Bytes on the wire to values for the S7 types; NaN and infinity fail the
// read and keep the value. An address without a type reads as before.
TEST_F(NodaveServer, KnownAnswersOfTheValueTypes) {
    S7Connection plc;
    ASSERT_TRUE(plc.connect(parametersFor(port_).c_str()));
    SourceEntry source;
    copyText(source.type, "simatic");
    struct Case {
        const char* address;
        bool ok;
        double value;
    };
    const Case cases[] = {
        {"DB10.DBD40:REAL", true, 21.5},
        {"db10.dbd44:real", true, -21.5},
        {"DB10.DBD48:REAL", false, 42.0},  // NaN
        {"DB10.DBD68:REAL", false, 42.0},  // -infinity
        {"DB10.DBD52:REAL", true, 3.4028235e38},
        {"MD60:REAL", true, 0.1},  // the float's shortest decimal
        {"DB10.DBW56:INT", true, -2},
        {"DB10.DBW58:INT", true, -32768},
        {"MW30:INT", true, -1},
        {"DB10.DBD60:DINT", true, 2147483647.0},
        {"DB10.DBD64:DINT", true, -2147483648.0},
        {"DB10.DBD64", true, 2147483648.0},
    };
    for (const Case& c : cases) {
        Node node = nodeAt(c.address);
        node.source = &source;
        std::string why;
        ASSERT_TRUE(setAddress(node, "simatic", c.address, &why)) << c.address << ": " << why;
        bool ok = false;
        std::string output = captured([&] { ok = plc.read(&node); });
        EXPECT_EQ(ok, c.ok) << c.address << ": " << output;
        EXPECT_EQ(node.value, c.value) << c.address;
        if (!c.ok) {
            EXPECT_NE(output.find(std::string("-read, adr ") + c.address + ": the device answered"),
                      std::string::npos)
                << output;
        }
    }
    EXPECT_TRUE(plc.isConnected()) << "a NaN is no fault of the link";
}

// Unfit addresses send nothing but are named in one line each, whatever the
// log level, so a typing error in the configuration can be found.
TEST_F(NodaveServer, BangAndUnfitAddressesSendNothing) {
    S7Connection plc;
    ASSERT_TRUE(plc.connect(parametersFor(port_).c_str()));
    StdoutCapture out;
    Node offline = nodeAt("!offline", 5);
    EXPECT_TRUE(plc.read(&offline));
    EXPECT_EQ(offline.value, 0.0);
    Node other = nodeAt("!XYZ");
    EXPECT_TRUE(plc.read(&other));
    EXPECT_EQ(other.value, 42.0);
    std::string expected;
    for (const char* adr : {"MX10.3", "DB10", "DB0.DBW4", "DB10.DBQ4", "M10", "PW2", "db10.dbx2"}) {
        Node unfit = nodeAt(adr);
        EXPECT_FALSE(plc.read(&unfit)) << adr;
        EXPECT_EQ(unfit.value, 42.0) << adr;
        EXPECT_EQ(unfit.readError, -1000) << adr << ": no request, no result code";
        expected += "read plc: adr " + upperCase(adr) + ", err invalid address\n";
    }
    Node empty = nodeAt("");
    EXPECT_FALSE(plc.read(&empty));
    EXPECT_FALSE(plc.read(nullptr));
    EXPECT_EQ(out.stop(), expected);
    EXPECT_TRUE(plc.isConnected());
}

TEST_F(NodaveServer, AMissingDataBlockFailsThatNodeAloneAndTheLinkStays) {
    SourceEntry source;
    copyText(source.name, "plc");
    copyText(source.type, "simatic");
    copyText(source.parameters, parametersFor(port_).c_str());
    Node good = nodeAt("MW20");
    Node missing = nodeAt("db99.dbw0");
    ASSERT_TRUE(source.readNode(&good));
    ASSERT_TRUE(source.isConnected());

    StdoutCapture out;
    EXPECT_FALSE(source.readNode(&missing));
    std::string printed = out.stop();
    EXPECT_EQ(printed, std::string("read plc: adr DB99.DBW0, err ") + daveStrerror(missing.readError) + "\n");
    EXPECT_GT(missing.readError, 0) << "the PLC's own item return code is kept";
    EXPECT_EQ(missing.value, 42.0);
    EXPECT_TRUE(source.isConnected()) << "the PLC answered: the link stays for the nodes behind";

    good.value = 0;
    EXPECT_TRUE(source.readNode(&good));
    EXPECT_EQ(good.value, 4660);
    EXPECT_TRUE(source.isConnected());
}

TEST(NodaveRestart, StoppedServerReadsOfflineAndReadsResumeAfterARestart) {
    int port = freeLoopbackPort();
    Process server;
    ASSERT_TRUE(startS7Server(server, port));
    SourceEntry source;
    copyText(source.type, "SIMATIC");
    copyText(source.parameters, parametersFor(port).c_str());
    Node word = nodeAt("MW20");
    Node offline = nodeAt("!OFFLINE");
    ASSERT_TRUE(source.readNode(&word));
    ASSERT_TRUE(source.readNode(&offline));
    EXPECT_EQ(offline.value, 0.0);

    server.stop();
    StdoutCapture out;
    EXPECT_FALSE(source.readNode(&word));
    EXPECT_TRUE(source.readNode(&offline));
    EXPECT_EQ(offline.value, 1.0);
    EXPECT_FALSE(source.readNode(&word)) << "no PLC, no value";
    std::string printed = out.stop();
    EXPECT_EQ(countOf(printed, "read plc: adr MW20, err "), 1) << printed;

    ASSERT_TRUE(startS7Server(server, port));
    // The failed connects have started a back-off (at most 4 s) before the next attempt.
    word.value = 0;
    bool read = false;
    for (int tries = 0; tries < 60 && !read; ++tries) {
        read = source.readNode(&word);
        if (!read) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(read);
    EXPECT_EQ(word.value, 4660);
    EXPECT_TRUE(source.readNode(&offline));
    EXPECT_EQ(offline.value, 0.0);
}

TEST_F(NodaveServer, DebugTracesFollowTheLogLevel) {
    int saved = logLevel();
    S7Connection plc;
    Node word = nodeAt("MW20");

    setLogLevel(0);
    {
        StdoutCapture out;
        ASSERT_TRUE(plc.connect(parametersFor(port_).c_str()));
        ASSERT_TRUE(plc.read(&word));
        EXPECT_EQ(out.stop(), "");
    }
    setLogLevel(3);
    {
        StdoutCapture out;
        ASSERT_TRUE(plc.connect(parametersFor(port_).c_str()));
        ASSERT_TRUE(plc.read(&word));
        std::string printed = out.stop();
        EXPECT_NE(printed.find("s7: connection request, rack 0, slot 2"), std::string::npos) << printed;
        EXPECT_NE(printed.find("s7: connected, PDU length 480"), std::string::npos) << printed;
        EXPECT_NE(printed.find("s7: read area 0x83, block 0, start 20, 2 bytes: 0"), std::string::npos)
            << printed;
        EXPECT_EQ(printed.find("s7: send"), std::string::npos) << "no dumps below level 4";
    }
    setLogLevel(4);
    {
        StdoutCapture out;
        ASSERT_TRUE(plc.connect(parametersFor(port_).c_str()));
        ASSERT_TRUE(plc.read(&word));
        std::string printed = out.stop();
        // The read job of MW20 in hex: flags area, bit address 160.
        EXPECT_NE(printed.find("s7: send 31 bytes:"), std::string::npos) << printed;
        EXPECT_NE(printed.find("00 02 00 00 83 00 00 A0"), std::string::npos) << printed;
        EXPECT_NE(printed.find("s7: receive"), std::string::npos) << printed;
    }
    setLogLevel(saved);
    plc.disconnect();
}

class NodaveBadPeer : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(peer_.ready()) << peer_.log(); }
    // The parameter text for a connection to the peer with this slot.
    std::string withSlot(const char* kind, int slot) const {
        return std::string(kind) + ":127.0.0.1:" + std::to_string(peer_.port()) + ":" + std::to_string(slot);
    }
    PythonPeer peer_{kMisbehavingS7Peer, {}, 100};
};

TEST_F(NodaveBadPeer, ARefusedConnectionIsNotCountedAsOpen) {
    S7Connection plc;
    std::string parameters = withSlot("TCP", s7peer::kSlotDisconnect);
    StdoutCapture out;
    EXPECT_FALSE(plc.connect(parameters.c_str()));
    EXPECT_EQ(out.stop(), "connectplc: connection refused by the PLC\n");
    EXPECT_EQ(plc.slot, s7peer::kSlotDisconnect);
    EXPECT_FALSE(plc.isConnected());
    EXPECT_FALSE(plc.connected);

    // An unknown kind is TCP; the setup refusal has its own text.
    StdoutCapture again;
    EXPECT_FALSE(plc.connect(withSlot("ethernet", s7peer::kSlotSetupError).c_str()));
    EXPECT_EQ(again.stop(), "connectplc: setup communication refused\n");
    EXPECT_EQ(plc.kind, S7Connection::Tcp);

    SourceEntry source;
    copyText(source.type, "simatic");
    copyText(source.parameters, parameters.c_str());
    Node offline = nodeAt("!OFFLINE");
    StdoutCapture quiet;
    EXPECT_TRUE(source.readNode(&offline));
    quiet.stop();
    EXPECT_EQ(offline.value, 1.0) << "a PLC that refuses the connection is offline";
}

TEST_F(NodaveBadPeer, SilenceFailsTheReadAfterFiveSeconds) {
    S7Connection plc;
    ASSERT_TRUE(plc.connect(peer_.parameters().c_str()));
    Node silent = nodeAt(("MB" + std::to_string(s7peer::kStartSilent)).c_str());
    StdoutCapture out;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(plc.read(&silent));
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(out.stop(), "read plc: adr MB" + std::to_string(s7peer::kStartSilent) + ", err timeout\n");
    EXPECT_GE(took, 4.9);
    EXPECT_LT(took, 7.0);
    EXPECT_EQ(silent.readError, daveErrTimeout);
    EXPECT_FALSE(plc.isConnected());

    // The next connect starts afresh and reads again.
    ASSERT_TRUE(plc.connect(peer_.parameters().c_str()));
    Node good = nodeAt("MW0");
    EXPECT_TRUE(plc.read(&good));
    EXPECT_EQ(good.value, 0x1234);
}

// The peer closes a link idle for 200 ms, as PLCs and gateways with an idle
// time-out do: the read that finds its link closed connects again at once and
// reads on the new link, in the same node step.
TEST_F(NodaveBadPeer, ALinkClosedWhileIdleIsReopenedForTheRead) {
    S7Connection plc;
    ASSERT_TRUE(plc.connect(withSlot("tcp", s7peer::kSlotIdleClose).c_str()));
    for (int i = 0; i < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        Node word = nodeAt("MW0");
        StdoutCapture out;
        EXPECT_TRUE(plc.read(&word)) << i;
        EXPECT_EQ(out.stop(), "") << i;
        EXPECT_EQ(word.value, 0x1234) << i;
        EXPECT_EQ(word.readError, 0) << i;
        EXPECT_TRUE(plc.isConnected()) << i;
    }
}

TEST(NodaveKinds, UsbProbesTheDriverOncePerObjectAndMpiNeverConnects) {
    {
        S7Connection plc;
        StdoutCapture out;
        EXPECT_FALSE(plc.connect("usb"));
        EXPECT_FALSE(plc.connect("USB:ignored"));
        EXPECT_FALSE(plc.isConnected());
        EXPECT_EQ(out.stop(), "Simatic_USB: S7Online.dll missing\n");
        EXPECT_EQ(plc.kind, S7Connection::Usb);
    }
    {
        S7Connection plc;
        StdoutCapture out;
        EXPECT_FALSE(plc.connect("usb"));
        EXPECT_EQ(countOf(out.stop(), "S7Online.dll missing"), 1) << "a new object probes again";
    }
    {
        // With a driver library present the adapter is tried five times.
        S7Connection::setDriverLibraryForTesting("libc.so.6");
        S7Connection plc;
        StdoutCapture out;
        EXPECT_FALSE(plc.connect("usb"));
        EXPECT_FALSE(plc.connect("usb"));
        S7Connection::setDriverLibraryForTesting(nullptr);
        std::string printed = out.stop();
        std::string trial = std::string("initadapter: ") + daveStrerror(daveErrNoDriver) + "\n";
        EXPECT_EQ(countOf(printed, trial), 10) << printed;
        EXPECT_EQ(countOf(printed, "initadapter: max trials failed\n"), 2) << printed;
        EXPECT_EQ(countOf(printed, "S7Online.dll missing"), 0);
        EXPECT_FALSE(plc.isConnected());
    }
    {
        S7Connection plc;
        StdoutCapture out;
        EXPECT_FALSE(plc.connect("mpi:127.0.0.1:102:2"));
        EXPECT_FALSE(plc.isConnected());
        EXPECT_EQ(out.stop(), "");
        EXPECT_EQ(plc.kind, S7Connection::Mpi);
        Node offline = nodeAt("!OFFLINE");
        EXPECT_TRUE(plc.read(&offline));
        EXPECT_EQ(offline.value, 1.0);
    }
    {
        // Defaults for everything the parameter text leaves out.
        S7Connection plc;
        plc.connect(nullptr);
        EXPECT_EQ(plc.kind, S7Connection::Tcp);
        EXPECT_EQ(plc.port, 102);
        EXPECT_EQ(plc.slot, 2);
        EXPECT_STREQ(plc.ipAddress, "127.0.0.1");
        plc.connect("tcp:127.0.0.1:0:1");
        EXPECT_EQ(plc.slot, 1);
        EXPECT_FALSE(plc.isConnected()) << "port 0 cannot be opened";
    }
}

TEST_F(NodaveServer, ZentokFiresOnTheFlagWordAndKeepsTheErrorCode) {
    TempDir dir;
    std::string config =
        "coupler;runmode;single\n"
        "source;plc\n"
        "adr;simatic;" +
        parametersFor(port_) +
        "\n"
        "node;a;MW20;Flag word {{*}};alarm;O:1000\n"
        "node;a;DB99.DBW0;Missing block;alarm;O:1000\n";
    writeFile(dir.file("zentok.ini"), config);
    RunResult run = runZentokIn(dir.path(), {"-i", dir.file("zentok.ini")}, 30000);
    ASSERT_FALSE(run.timedOut) << run.output;
    EXPECT_NE(run.output.find("read plc: adr DB99.DBW0, err "), std::string::npos) << run.output;

    std::string states = readFile(dir.file("zentok_states.csv"));
    std::string fired = "\"plc\";\"MW20\";2";  // a trigger time, not an empty field
    EXPECT_NE(states.find(fired), std::string::npos) << states;
    EXPECT_NE(states.find(";0;4660\n"), std::string::npos) << states;
    EXPECT_NE(states.find("\"plc\";\"DB99.DBW0\";;"), std::string::npos) << states;
    EXPECT_NE(states.find(";10;0\n"), std::string::npos) << "the object does not exist: " << states;
}

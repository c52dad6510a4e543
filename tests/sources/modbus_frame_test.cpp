// Modbus framing without a device: node addresses, the request bytes, the
// header check and the answer check, and the connection parameter text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/Log.h"
#include "cycle/Coupler.h"
#include "sources/modbus/ModbusAddress.h"
#include "sources/modbus/ModbusConnection.h"
#include "sources/modbus/ModbusFrame.h"
#include "support/NodeAddress.h"
#include "support/StdoutCapture.h"

using testsupport::captured;
using testsupport::setAddress;

namespace {

using Bytes = std::vector<uint8_t>;

ModbusAnswer check(const Bytes& frame, uint16_t tid, uint8_t function) {
    return checkModbusResponse(frame.data(), frame.size(), tid, function);
}

TEST(ModbusAddress, BothFormsAndTheTables) {
    struct Case {
        const char* text;
        int table, reg;
        bool valid;
        uint8_t function;
    } cases[] = {
        {"400001", 4, 1, true, 3},
        {"4:1", 4, 1, true, 3},
        {"300005", 3, 5, true, 4},
        {"100007", 1, 7, true, 2},
        {"40001", 0, 40001, true, 1},
        {"abc", -1, 0, false, 0},
        {"4:65535", 4, 65535, true, 3},
        {"0:0", 0, 0, true, 1},
        {"200001", 2, 1, false, 0},
        {"5:3", 5, 3, false, 0},
        {"4:70000", 4, 70000, false, 3},
        {"-1:5", -1, 0, false, 0},
        {"4:-1", -1, 0, false, 0},
        {"499999", 4, 99999, false, 3},
        {"-5", -1, 0, false, 0},
        // Only digits and one ":": "4x0001" is no coil 4.
        {"4x0001", -1, 0, false, 0},
        {"4:1:2", -1, 0, false, 0},
        {"4: 1", -1, 0, false, 0},
        {"", -1, 0, false, 0},
        {"999999999", 9999, 99999, false, 0},
    };
    for (const Case& c : cases) {
        ModbusAddress a = parseModbusAddress(c.text);
        EXPECT_EQ(a.table, c.table) << c.text;
        EXPECT_EQ(a.reg, c.reg) << c.text;
        EXPECT_EQ(isValidModbusAddress(a), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(modbusFunctionFor(a.table), c.function) << c.text;
        }
    }
}

TEST(ModbusRequest, TwelveBytesBigEndianRegisterUnchanged) {
    uint8_t out[kModbusRequestSize];
    buildModbusRequest(out, 0xABCD, 3, 0x1234);
    EXPECT_EQ(Bytes(out, out + 12), (Bytes{0xAB, 0xCD, 0, 0, 0, 6, 0, 3, 0x12, 0x34, 0, 1}));
    buildModbusRequest(out, 1, 1, 65535);
    EXPECT_EQ(Bytes(out, out + 12), (Bytes{0, 1, 0, 0, 0, 6, 0, 1, 0xFF, 0xFF, 0, 1}));
}

TEST(ModbusFrameLength, HeaderDecidesTheFrameSize) {
    Bytes ok{0, 1, 0, 0, 0, 5, 0, 3, 2, 0x12, 0x34};
    EXPECT_EQ(modbusFrameLength(ok.data(), 7), 0);  // too short to tell
    EXPECT_EQ(modbusFrameLength(ok.data(), 8), 11);
    EXPECT_EQ(modbusFrameLength(ok.data(), ok.size()), 11);

    Bytes protocol = ok;
    protocol[3] = 1;
    EXPECT_EQ(modbusFrameLength(protocol.data(), protocol.size()), -1);

    Bytes lengths = ok;
    lengths[4] = 0;
    lengths[5] = 1;  // no room for a function code
    EXPECT_EQ(modbusFrameLength(lengths.data(), lengths.size()), -1);
    lengths[5] = 254;  // 260 bytes in all: the largest frame
    EXPECT_EQ(modbusFrameLength(lengths.data(), lengths.size()), 260);
    lengths[5] = 255;
    EXPECT_EQ(modbusFrameLength(lengths.data(), lengths.size()), -1);
    lengths[4] = 0xFF;
    EXPECT_EQ(modbusFrameLength(lengths.data(), lengths.size()), -1);
}

TEST(ModbusResponse, ValuesOfRegistersAndBits) {
    ModbusAnswer a = check({0, 7, 0, 0, 0, 5, 0, 3, 2, 0x12, 0x34}, 7, 3);
    EXPECT_EQ(a.outcome, ModbusOutcome::Value);
    EXPECT_EQ(a.value, 4660.0);

    a = check({0xFF, 0xFF, 0, 0, 0, 5, 0, 4, 2, 0xFF, 0xFF}, 0xFFFF, 4);
    EXPECT_EQ(a.outcome, ModbusOutcome::Value);
    EXPECT_EQ(a.value, 65535.0);

    // Only bit 0 of the data byte counts.
    a = check({0, 2, 0, 0, 0, 4, 0, 1, 1, 0xFE}, 2, 1);
    EXPECT_EQ(a.outcome, ModbusOutcome::Value);
    EXPECT_EQ(a.value, 0.0);
    a = check({0, 2, 0, 0, 0, 4, 0, 2, 1, 0x03}, 2, 2);
    EXPECT_EQ(a.outcome, ModbusOutcome::Value);
    EXPECT_EQ(a.value, 1.0);
}

TEST(ModbusResponse, RefusalsAndMismatches) {
    ModbusAnswer a = check({0, 9, 0, 0, 0, 3, 0, 0x83, 2}, 9, 3);
    EXPECT_EQ(a.outcome, ModbusOutcome::Exception);
    EXPECT_EQ(a.code, 2);

    a = check({0, 8, 0, 0, 0, 5, 0, 3, 2, 0x12, 0x34}, 9, 3);
    EXPECT_EQ(a.outcome, ModbusOutcome::WrongTid);

    a = check({0, 9, 0, 0, 0, 5, 0, 4, 2, 0x12, 0x34}, 9, 3);
    EXPECT_EQ(a.outcome, ModbusOutcome::WrongFunction);
    EXPECT_EQ(a.code, 4);

    // An exception code of another function is just a wrong function.
    a = check({0, 9, 0, 0, 0, 3, 0, 0x84, 2}, 9, 3);
    EXPECT_EQ(a.outcome, ModbusOutcome::WrongFunction);
    EXPECT_EQ(a.code, 0x84);
}

TEST(ModbusResponse, MalformedFramesGiveNoValue) {
    const std::vector<Bytes> frames = {
        {},
        {0, 1, 0, 0, 0, 5, 0},                       // header cut short
        {0, 1, 0, 0, 0, 5, 0, 3, 2, 0x12},           // one byte missing
        {0, 1, 0, 0, 0, 5, 0, 3, 2, 0x12, 0x34, 0},  // one byte too many
        {0, 1, 0, 1, 0, 5, 0, 3, 2, 0x12, 0x34},     // protocol identifier 1
        {0, 1, 0, 0, 0, 5, 0, 3, 4, 0x12, 0x34},     // byte count 4 for one register
        {0, 1, 0, 0, 0, 4, 0, 3, 1, 0x12},           // byte count 1 for a register
        {0, 1, 0, 0, 0, 2, 0, 0x83},                 // exception without its code
        {0, 1, 0, 0, 0, 5, 0, 1, 2, 1, 0},           // two data bytes for one coil
    };
    for (const Bytes& f : frames) {
        EXPECT_EQ(check(f, 1, f.size() > 7 && f[7] == 1 ? 1 : 3).outcome, ModbusOutcome::Malformed)
            << "frame of " << f.size() << " bytes";
    }
}

class ModbusParameters : public testing::Test {
  protected:
    void SetUp() override { setLogLevel(3); }
    void TearDown() override { setLogLevel(0); }
};

TEST_F(ModbusParameters, OnlyTcpIsAccepted) {
    for (const char* text : {"udp:127.0.0.1:502", "", "tcpx:127.0.0.1"}) {
        ModbusConnection c;
        std::string out = captured([&] { EXPECT_FALSE(c.connect(text)); });
        EXPECT_EQ(out, "-Modbus, invalid adr (" + std::string(text) + ")\n");
        EXPECT_FALSE(c.isConnected());
    }
    ModbusConnection none;
    EXPECT_EQ(captured([&] { EXPECT_FALSE(none.connect(nullptr)); }), "");
    EXPECT_EQ(none.port(), 502);
    EXPECT_STREQ(none.ipAddress(), "127.0.0.1");
}

TEST_F(ModbusParameters, DefaultsAndBadEndpoints) {
    ModbusConnection c;
    captured([&] { c.connect("TCP"); });
    EXPECT_EQ(c.port(), 502);
    EXPECT_STREQ(c.ipAddress(), "127.0.0.1");

    // A port beyond 65535 is refused rather than cut to 16 bits.
    std::string out = captured([&] { EXPECT_FALSE(c.connect("tcp:127.0.0.1:70000")); });
    EXPECT_NE(out.find("Modbus connect: IP '127.0.0.1', port 70000\n"), std::string::npos) << out;
    EXPECT_NE(out.find("-Connect (127.0.0.1:70000), 22: Invalid argument, 127.0.0.1:70000\n"),
              std::string::npos)
        << out;

    out = captured([&] { EXPECT_FALSE(c.connect("tcp:plc.example:502")); });
    EXPECT_NE(out.find("-Connect (plc.example:502), 22: Invalid argument, plc.example:502\n"),
              std::string::npos)
        << out;
    EXPECT_FALSE(c.isConnected());
}

TEST_F(ModbusParameters, OutOfRangeAddressFailsWithoutTraffic) {
    ModbusConnection c;
    Node node;
    node.value = 5.0;
    for (const char* address : {"200001", "5:3", "4:70000", "-1:5"}) {
        setAddress(node, "modbus", address);
        std::string out = captured([&] { EXPECT_FALSE(c.read(&node)); });
        EXPECT_EQ(out, "Modbus, address " + std::string(address) + " out of range\n");
    }
    // The read takes the address the load read, never the text: a node
    // whose text was not read at load names nothing.
    Node unread;
    std::strcpy(unread.address, "400001");
    std::string out = captured([&] { EXPECT_FALSE(c.read(&unread)); });
    EXPECT_EQ(out, "Modbus, address 400001 out of range\n");
    EXPECT_EQ(node.value, 5.0);
    EXPECT_EQ(c.transactionId(), 0);  // nothing was sent

    setAddress(node, "modbus", "!offline");
    EXPECT_TRUE(c.read(&node));
    EXPECT_EQ(node.value, 1.0);
}

}  // namespace

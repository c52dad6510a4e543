// Modbus RTU framing without a line: the CRC and the request frame against
// published frames, the answer length a function code tells, the CRC check
// of answers and the TCP frame they are handed on as; the parameter forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sources/modbus/ModbusEndpoint.h"
#include "sources/modbus/ModbusFrame.h"
#include "sources/modbus/ModbusRtuFrame.h"
#include "sources/modbus/ModbusRtuLine.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Requests as the Modbus TCP client builds them, and their RTU frames as
// published (the Modbus serial line guide's 01 03 0000 000A, and the
// Simply Modbus examples for unit 17).
TEST(ModbusRtuFrame, RequestsCarryTheirCrcLowByteFirst) {
    struct Case {
        uint8_t unit, function;
        uint16_t reg, quantity;
        const char* rtu;
    } cases[] = {
        {1, 3, 0x0000, 10, "01030000000AC5CD"},
        {17, 3, 0x006B, 3, "1103006B00037687"},
        {17, 1, 0x0013, 37, "1101001300250E84"},
        {17, 4, 0x0008, 1, "110400080001B298"},
    };
    for (const Case& k : cases) {
        uint8_t tcp[kModbusRequestSize];
        buildModbusRequest(tcp, 0x1234, k.function, k.reg, k.quantity, k.unit);
        uint8_t rtu[kRtuFrameSize];
        size_t size = rtuFrameFromTcp(tcp, sizeof tcp, rtu, sizeof rtu);
        EXPECT_EQ(Bytes(rtu, rtu + size), hex(k.rtu)) << k.rtu;
    }
}

// Each answer arrives byte by byte: its length is unknown (0) until its
// function code and byte count tell it, then fixed; its CRC decides whether
// it goes on as the TCP frame of the request (transaction id 0x0102).
TEST(ModbusRtuFrame, AnswersAreFramedByFunctionAndCheckedByCrc) {
    struct Case {
        const char* rtu;
        int length;  // -1: no function whose answer length is known
        RtuCheck check;
        const char* tcp;
    } cases[] = {
        {"110306AE415652434049AD", 11, RtuCheck::Ok, "010200000009110306AE4156524340"},  // three registers
        {"110105CD6BB20E1B45E6", 10, RtuCheck::Ok,
         "0102000000081101"
         "05CD6BB20E1B"},                                       // 37 coils
        {"018302C0F1", 5, RtuCheck::Ok, "010200000003018302"},  // illegal data address
        {"010302BAD0CAB8", 7, RtuCheck::Ok, "010200000005010302BAD0"},
        {"010302BAD0CA47", 7, RtuCheck::BadCrc, ""},  // the CRC's high byte spoilt
        {"010302BAD1CAB8", 7, RtuCheck::BadCrc, ""},  // a data bit flipped
        {"0107000000", -1, RtuCheck::Ok, ""},         // function 7: out of step
    };
    for (const Case& k : cases) {
        Bytes rtu = hex(k.rtu);
        int length = 0;
        for (size_t got = 1; got <= rtu.size() && length == 0; ++got)
            length = rtuAnswerLength(rtu.data(), got);
        EXPECT_EQ(length, k.length) << k.rtu;
        if (length < 0) continue;
        uint8_t tcp[kModbusFrameSize];
        size_t tcpSize = 0;
        EXPECT_EQ(tcpFrameFromRtu(rtu.data(), rtu.size(), 0x0102, tcp, sizeof tcp, &tcpSize), k.check)
            << k.rtu;
        if (k.check == RtuCheck::Ok) {
            EXPECT_EQ(Bytes(tcp, tcp + tcpSize), hex(k.tcp)) << k.rtu;
        }
    }
    // The one check of answers then sees the unit the answer came from.
    Bytes exception = hex("018302C0F1");
    uint8_t tcp[kModbusFrameSize];
    size_t tcpSize = 0;
    ASSERT_EQ(tcpFrameFromRtu(exception.data(), exception.size(), 7, tcp, sizeof tcp, &tcpSize),
              RtuCheck::Ok);
    EXPECT_EQ(checkModbusResponse(tcp, tcpSize, 7, 3, 1, 1).outcome, ModbusOutcome::Exception);
    EXPECT_EQ(checkModbusResponse(tcp, tcpSize, 7, 3, 1, 2).outcome, ModbusOutcome::WrongUnit);
}

TEST(ModbusRtuLine, SilentIntervalIsThreeAndAHalfCharactersUpTo19200Baud) {
    struct Case {
        int baud;
        char parity;
        int stopBits;
        int64_t silentUs;
    } cases[] = {
        {9600, 'E', 1, 4011},   // 11 bits a character: 3.5 x 1145.8 us, rounded up
        {19200, 'N', 1, 1823},  // 10 bits: 3.5 x 520.8 us
        {19200, 'N', 2, 2006},  // 11 bits
        {38400, 'E', 1, 1750},  // fixed above 19200
    };
    for (const Case& k : cases) {
        ModbusRtuLine line;
        SerialFormat format;
        format.baud = k.baud;
        format.parity = k.parity;
        format.stopBits = k.stopBits;
        line.attach(-1, true, format);
        EXPECT_EQ(line.silentIntervalUs(), k.silentUs) << k.baud;
        line.attach(-1, false, format);
        EXPECT_EQ(line.silentIntervalUs(), 0) << "a gateway keeps the serial line's timing";
    }
}

// The forms' fields; their faults, as the load reports them, are in config_test.
TEST(ModbusEndpoint, SerialFieldsAreReadFromTheRightSoADevicePathMayHoldColons) {
    ModbusEndpoint serial =
        parseModbusEndpoint("rtu:/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0:9600:8o2:247");
    EXPECT_EQ(serial.framing, ModbusFraming::RtuSerial);
    EXPECT_STREQ(serial.device, "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
    EXPECT_EQ(serial.serial.baud, 9600);
    EXPECT_EQ(serial.serial.parity, 'O');
    EXPECT_EQ(serial.serial.stopBits, 2);
    EXPECT_EQ(serial.unit, 247);
    EXPECT_EQ(serial.problem, "");
    ModbusEndpoint gateway = parseModbusEndpoint("rtutcp:10.0.0.6:4001:17");
    EXPECT_EQ(gateway.framing, ModbusFraming::RtuOverTcp);
    EXPECT_STREQ(gateway.host, "10.0.0.6");
    EXPECT_EQ(gateway.port, 4001);
    EXPECT_EQ(gateway.unit, 17);
    for (const char* text : {"rtu:19200:8E1:1", "rtu::19200:8E1:1", "rtutcp:10.0.0.6:4001"})
        EXPECT_TRUE(parseModbusEndpoint(text).problemIsFatal) << text;
}

}  // namespace

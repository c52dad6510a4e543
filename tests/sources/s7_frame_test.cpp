// S7 frames without a peer: the requests byte for byte, every check of an
// answer, and the node address syntax.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "sources/s7/Nodave.h"
#include "sources/s7/S7Address.h"
#include "sources/s7/S7Frame.h"

using Bytes = std::vector<uint8_t>;

namespace {

Bytes tpkt(const Bytes& payload) {
    Bytes out{3, 0, static_cast<uint8_t>((payload.size() + 4) >> 8),
              static_cast<uint8_t>(payload.size() + 4)};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// DT header, S7 ack-with-data header, parameter and data.
Bytes ackData(uint16_t ref, const Bytes& param, const Bytes& data, uint8_t errClass = 0,
              uint8_t errCode = 0) {
    Bytes p{2,
            0xF0,
            0x80,
            0x32,
            0x03,
            0,
            0,
            static_cast<uint8_t>(ref >> 8),
            static_cast<uint8_t>(ref),
            0,
            static_cast<uint8_t>(param.size()),
            0,
            static_cast<uint8_t>(data.size()),
            errClass,
            errCode};
    p.insert(p.end(), param.begin(), param.end());
    p.insert(p.end(), data.begin(), data.end());
    return tpkt(p);
}

Bytes goodWordAnswer(uint16_t ref) {
    return ackData(ref, {0x04, 0x01}, {0xFF, 0x04, 0x00, 0x10, 0xAB, 0xCD});
}

int parseRead(const Bytes& packet, uint16_t ref, int area, int count, uint8_t* out) {
    return s7::parseReadAnswer(packet.data(), static_cast<int>(packet.size()), ref, area, count, out);
}

}  // namespace

TEST(S7Frame, RequestsFollowTheWireLayout) {
    uint8_t cr[s7::kConnectRequestSize];
    ASSERT_EQ(s7::buildConnectRequest(cr, 0, 2), 22);
    Bytes expectedCr{3, 0, 0, 22, 17, 0xE0, 0, 0, 0, 1, 0, 0xC0, 1, 0x0A, 0xC1, 2, 1, 0, 0xC2, 2, 1, 2};
    EXPECT_EQ(Bytes(cr, cr + 22), expectedCr);
    s7::buildConnectRequest(cr, 1, 3);
    EXPECT_EQ(cr[21], 1 * 32 + 3);

    uint8_t setup[s7::kSetupRequestSize];
    ASSERT_EQ(s7::buildSetupRequest(setup, 0x0102, 480), 25);
    Bytes expectedSetup{3, 0, 0, 25, 2,    0xF0, 0x80, 0x32, 1, 0, 0,    1,   2,
                        0, 8, 0, 0,  0xF0, 0,    0,    1,    0, 1, 0x01, 0xE0};
    EXPECT_EQ(Bytes(setup, setup + 25), expectedSetup);

    uint8_t read[s7::kReadRequestSize];
    ASSERT_EQ(s7::buildReadRequest(read, 7, daveDB, 10, 4, 2), 31);
    Bytes expectedRead{3, 0,    0, 31,   2,    0xF0, 0x80, 0x32, 1, 0, 0,  0,    7, 0, 14, 0,
                       0, 0x04, 1, 0x12, 0x0A, 0x10, 0x02, 0,    2, 0, 10, 0x84, 0, 0, 32};
    EXPECT_EQ(Bytes(read, read + 31), expectedRead);

    // Timers travel by their own transport size and their number, not a bit address.
    s7::buildReadRequest(read, 8, daveTimer, 0, 5, 1);
    EXPECT_EQ(read[22], 0x1D);
    EXPECT_EQ(read[27], 0x1D);
    EXPECT_EQ(Bytes(read + 28, read + 31), (Bytes{0, 0, 5}));
    // A large byte number fills all 24 bits of the start address.
    s7::buildReadRequest(read, 9, daveFlags, 0, 0x1FFFFF, 1);
    EXPECT_EQ(Bytes(read + 28, read + 31), (Bytes{0xFF, 0xFF, 0xF8}));
}

TEST(S7Frame, ReadAnswerIsCopiedOnlyWhenEveryFieldFits) {
    uint8_t out[8] = {};
    EXPECT_EQ(parseRead(goodWordAnswer(5), 5, daveFlags, 2, out), 0);
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(out[1], 0xCD);
    EXPECT_EQ(out[2], 0);

    // Octet-string lengths are in bytes; timers answer 2 bytes per element.
    std::memset(out, 0, sizeof out);
    EXPECT_EQ(parseRead(ackData(6, {0x04, 0x01}, {0xFF, 0x09, 0x00, 0x02, 0x12, 0x34}), 6, daveTimer, 2, out),
              0);
    EXPECT_EQ(out[1], 0x34);

    struct Case {
        const char* what;
        Bytes packet;
        int expected;
    };
    Bytes good = goodWordAnswer(5);
    auto with = [&](size_t at, uint8_t value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    Bytes truncated(good.begin(), good.end() - 1);
    truncated[3] = static_cast<uint8_t>(truncated.size());
    std::vector<Case> cases = {
        {"TPKT version", with(0, 2), daveErrMalformed},
        {"TPKT length beyond the bytes given", with(3, static_cast<uint8_t>(good.size() + 1)),
         daveErrShortAnswer},
        {"TPKT length below the headers", with(3, 6), daveErrMalformed},
        {"TPKT length beyond the buffer", with(2, 0xFF), daveErrPacketTooLarge},
        {"COTP code", with(5, 0xE0), daveErrMalformed},
        {"not the last data unit", with(6, 0x00), daveErrMalformed},
        {"protocol id", with(7, 0x33), daveErrMalformed},
        {"message type job", with(8, 0x01), daveErrMalformed},
        {"PDU reference", with(12, 6), daveErrPduRef},
        {"header error class", with(17, 0x85), daveErrJobRefused},
        {"function code", with(19, 0x05), daveErrMalformed},
        {"item count", with(20, 2), daveErrMalformed},
        {"item return code 5", with(21, 0x05), 5},
        {"item return code 10", with(21, 0x0A), 10},
        {"item return code 0", with(21, 0x00), daveErrMalformed},
        {"unknown transport size", with(22, 0x01), daveErrMalformed},
        {"item longer than requested", with(24, 0x20), daveErrSizeMismatch},
        {"item shorter than requested", with(24, 0x08), daveErrSizeMismatch},
        {"data length beyond the packet", with(16, 0x09), daveErrShortAnswer},
        {"item beyond the data length", truncated, daveErrShortAnswer},
    };
    for (const Case& c : cases) {
        uint8_t sink[8] = {0x5A, 0x5A, 0x5A, 0x5A};
        EXPECT_EQ(parseRead(c.packet, 5, daveFlags, 2, sink), c.expected) << c.what;
        EXPECT_EQ(sink[0], 0x5A) << c.what << ": a rejected answer must not touch the buffer";
    }

    // An item that claims more than its data section holds.
    Bytes lying = ackData(5, {0x04, 0x01}, {0xFF, 0x04, 0x00, 0x20, 0xAB, 0xCD});
    EXPECT_EQ(parseRead(lying, 5, daveFlags, 4, out), daveErrShortAnswer);
    // A job refused as a whole comes back as a plain ack without any item.
    Bytes refused{3, 0, 0, 19, 2, 0xF0, 0x80, 0x32, 0x02, 0, 0, 0, 5, 0, 0, 0, 0, 0x81, 0x04};
    EXPECT_EQ(parseRead(refused, 5, daveFlags, 2, out), daveErrJobRefused);
    EXPECT_EQ(parseRead(Bytes{3, 0, 0}, 5, daveFlags, 2, out), daveErrShortAnswer);
}

TEST(S7Frame, ConnectConfirmAndSetupAnswer) {
    Bytes cc = tpkt({17, 0xD0, 0, 1, 0, 1, 0, 0xC0, 1, 0x0A, 0xC1, 2, 1, 0, 0xC2, 2, 1, 2});
    EXPECT_EQ(s7::parseConnectConfirm(cc.data(), static_cast<int>(cc.size())), 0);
    Bytes dr = tpkt({6, 0x80, 0, 1, 0, 1, 0});
    EXPECT_EQ(s7::parseConnectConfirm(dr.data(), static_cast<int>(dr.size())), daveErrConnectRefused);
    Bytes shortCc = tpkt({17, 0xD0, 0, 1});
    EXPECT_EQ(s7::parseConnectConfirm(shortCc.data(), static_cast<int>(shortCc.size())), daveErrShortAnswer);

    int pdu = 0;
    Bytes setup = ackData(1, {0xF0, 0, 0, 1, 0, 1, 0x00, 0xF0}, {});
    EXPECT_EQ(s7::parseSetupAnswer(setup.data(), static_cast<int>(setup.size()), 1, &pdu), 0);
    EXPECT_EQ(pdu, 240);
    Bytes refused = ackData(1, {}, {}, 0x81, 0x04);
    EXPECT_EQ(s7::parseSetupAnswer(refused.data(), static_cast<int>(refused.size()), 1, &pdu),
              daveErrSetupRefused);
    EXPECT_EQ(s7::parseSetupAnswer(setup.data(), static_cast<int>(setup.size()), 2, &pdu), daveErrPduRef);
    Bytes tiny = ackData(1, {0xF0, 0, 0, 1, 0, 1, 0x00, 0x10}, {});
    EXPECT_EQ(s7::parseSetupAnswer(tiny.data(), static_cast<int>(tiny.size()), 1, &pdu), daveErrSetupRefused);
    Bytes cut = ackData(1, {0xF0, 0, 0, 1}, {});
    EXPECT_EQ(s7::parseSetupAnswer(cut.data(), static_cast<int>(cut.size()), 1, &pdu), daveErrShortAnswer);
}

TEST(S7Layer, ConversionsAndErrorTexts) {
    const uint8_t b[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(daveGetU16from(b), 65535u);
    EXPECT_EQ(daveGetU32from(b), 4294967295u);
    const uint8_t c[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(daveGetU16from(c), 0x1234u);
    EXPECT_EQ(daveGetU32from(c), 0x12345678u);

    // Every failure code has its own text, so a log line tells them apart.
    std::set<std::string> texts;
    for (int code : {1, 3, 5, 6, 7, 10}) texts.insert(daveStrerror(code));
    for (int code = daveErrClosedBeforeRequest; code <= daveErrTimeout; ++code)
        texts.insert(daveStrerror(code));
    EXPECT_EQ(texts.size(), 6u + 16u);
    EXPECT_STREQ(daveStrerror(daveErrTimeout), "timeout");
    EXPECT_STRNE(daveStrerror(0), daveStrerror(-99));
}

TEST(S7Address, EveryFormGivesAreaBlockStartAndSize) {
    struct Case {
        const char* adr;
        int area, db, start, bytes;
        char type;
        int bit;
    };
    const Case cases[] = {
        {"M10.3", 0x83, 0, 10, 1, 'X', 3},       {"F10.3", 0x83, 0, 10, 1, 'X', 3},
        {"MW20", 0x83, 0, 20, 2, 'W', 0},        {"MB7", 0x83, 0, 7, 1, 'B', 0},
        {"ED4", 0x81, 0, 4, 4, 'D', 0},          {"IW2", 0x81, 0, 2, 2, 'W', 0},
        {"E0.7", 0x81, 0, 0, 1, 'X', 7},         {"AB0", 0x82, 0, 0, 1, 'B', 0},
        {"OB0", 0x82, 0, 0, 1, 'B', 0},          {"DB10.DBW4", 0x84, 10, 4, 2, 'W', 0},
        {"DB10.DBD8", 0x84, 10, 8, 4, 'D', 0},   {"DB1.DBB3", 0x84, 1, 3, 1, 'B', 0},
        {"DB10.DBX2.5", 0x84, 10, 2, 1, 'X', 5}, {"DB10.DBX12.3", 0x84, 10, 12, 1, 'X', 3},
        {"T5", 0x1D, 0, 5, 2, 'W', 0},           {"Z3", 0x1C, 0, 3, 2, 'W', 0},
        {"C3", 0x1C, 0, 3, 2, 'W', 0},
    };
    for (const Case& c : cases) {
        S7Address a;
        ASSERT_TRUE(parseS7Address(c.adr, &a)) << c.adr;
        EXPECT_EQ(a.area, c.area) << c.adr;
        EXPECT_EQ(a.dbNumber, c.db) << c.adr;
        EXPECT_EQ(a.start, c.start) << c.adr;
        EXPECT_EQ(a.byteCount, c.bytes) << c.adr;
        EXPECT_EQ(a.type, c.type) << c.adr;
        EXPECT_EQ(a.bit, c.bit) << c.adr;
    }
}

TEST(S7Address, TextsThatFitNoFormAreRejected) {
    for (const char* adr :
         {"", "!OFFLINE", "X10", "PW2", "MX10.3", "M10", "M10.", "MQ4", "DB10", "DB0.DBW4", "DB10.DBQ4",
          "DB10.DB", "DB10.DBX2", "DX10", "MW-2", "MW9999999", "T70000", "DB70000.DBW0",
          // Characters that are no part of an address, and bits beyond the byte.
          "QQ7", "MW20X", "M10.3.1", "T5 ", "DB10.DBW4abc", "DB10.DBX2.9", "M1.35", "E0.-1"}) {
        S7Address a;
        EXPECT_FALSE(parseS7Address(adr, &a)) << adr;
    }
}

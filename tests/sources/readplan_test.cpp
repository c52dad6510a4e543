// The read plan as a table: node addresses in, the requests of a cycle out.
#include "sources/ReadPlan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sources/SourceEntry.h"
#include "support/NodeAddress.h"

using namespace testsupport;

namespace {

// "4:10+3(0,3)": table, first object and quantity, the node indices; "S7(0,1)" for an S7 job.
std::string planOf(const char* sourceType, const std::vector<std::string>& addresses, int pdu = 0) {
    SourceEntry source;
    copyText(source.type, sourceType);
    std::vector<Node> nodes(addresses.size());
    for (size_t i = 0; i < addresses.size(); ++i) {
        nodes[i].source = &source;
        setAddress(nodes[i], sourceType, addresses[i]);
    }
    std::string text;
    for (const ReadBlock& b : planReads(nodes.data(), static_cast<int>(nodes.size()), &source, pdu)) {
        if (!text.empty()) text += ' ';
        text += b.kind == AddressKind::Modbus ? std::to_string(b.table) + ":" + std::to_string(b.start) +
                                                    "+" + std::to_string(b.quantity)
                                              : "S7";
        text += '(';
        for (size_t i = 0; i < b.nodes.size(); ++i) text += (i ? "," : "") + std::to_string(b.nodes[i]);
        text += ')';
    }
    return text;
}

std::vector<std::string> every(int step, int count, const std::string& prefix) {
    std::vector<std::string> addresses;
    for (int i = 0; i < count; ++i) addresses.push_back(prefix + std::to_string(i * step));
    return addresses;
}

}  // namespace

TEST(ReadPlan, ModbusNodesCloseTogetherShareARequest) {
    struct Case {
        std::vector<std::string> addresses;
        const char* plan;
    } cases[] = {
        // Neighbours in any file order; a 32-bit value takes its two registers.
        {{"400010", "400012", "400030:FLOAT32", "400011"}, "4:10+3(0,1,3) 4:30+2(2)"},
        // A gap of 16 registers is read over, one of 17 is not.
        {{"4:0", "4:17"}, "4:0+18(0,1)"},
        {{"4:0", "4:18"}, "4:0+1(0) 4:18+1(1)"},
        {{"4:0", "4:17:UINT32", "4:35"}, "4:0+36(0,1,2)"},
        // Tables stay apart; bits have a gap of their own.
        {{"0:5", "100005", "0:262", "300001", "400001", "0:520"},
         "0:5+258(0,2) 1:5+1(1) 3:1+1(3) 4:1+1(4) 0:520+1(5)"},
        // Two nodes of one register are read once.
        {{"4:7", "4:7:INT16"}, "4:7+1(0,1)"},
        // Names no Modbus object: no request.
        {{"!OFFLINE", "4:1", "5:1"}, "4:1+1(1)"},
        {{"4:65535", "4:65534"}, "4:65534+2(0,1)"},
    };
    for (const Case& k : cases) EXPECT_EQ(planOf("modbus", k.addresses), k.plan) << k.addresses.front();
}

TEST(ReadPlan, ABlockStaysWithinTheProtocolsLimits) {
    // Registers 0..130, every 10: 125 registers hold 0 to 120.
    EXPECT_EQ(planOf("modbus", every(10, 14, "4:")), "4:0+121(0,1,2,3,4,5,6,7,8,9,10,11,12) 4:130+1(13)");
    // Coils 0..2200, every 200: 2000 bits hold 0 to 1800.
    EXPECT_EQ(planOf("modbus", every(200, 12, "0:")), "0:0+1801(0,1,2,3,4,5,6,7,8,9) 0:2000+201(10,11)");
}

TEST(ReadPlan, S7ItemsFillThePdu) {
    std::vector<std::string> words = every(2, 21, "DB1.DBW");
    // 20 items a job at most.
    EXPECT_EQ(planOf("simatic", words, 480), "S7(0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19) S7(20)");
    // A PDU of 60 bytes: 12 + 12 per item for the request, 4 items.
    EXPECT_EQ(planOf("simatic", {"MW0", "DB10.DBD4", "T5", "E1.0", "MB3"}, 60), "S7(0,1,2,3) S7(4)");
    // Before the link has told its PDU length every node is its own request; bad addresses none.
    EXPECT_EQ(planOf("simatic", {"MW0", "xyz", "MW2"}), "S7(0) S7(2)");
}

// Message templates: node creation at load and expansion into the output
// buffer, with the room rules at the end of the buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/Text.h"
#include "cycle/Coupler.h"

namespace {

class TemplatesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        coupler = std::make_unique<Coupler>();
        coupler->sourceCount = 1;
        copyText(coupler->sources[0].name, "plantA");
        source = &coupler->sources[0];
    }

    Node* addNode(const char* address, const std::string& message, double value = 0.0,
                  SourceEntry* from = reinterpret_cast<SourceEntry*>(-1)) {
        Node& node = coupler->freeNode();
        ++coupler->nodeCount;
        node.source = from == reinterpret_cast<SourceEntry*>(-1) ? source : from;
        copyText(node.address, address);
        copyText(node.message, message.c_str());
        node.value = value;
        return &node;
    }

    std::string format(const Node* node, int capacity = kTextSize) {
        std::vector<char> out(capacity, '#');
        EXPECT_TRUE(coupler->formatMessage(out.data(), capacity, node));
        size_t length = strnlen(out.data(), capacity);
        EXPECT_LT(length, static_cast<size_t>(capacity)) << "output not terminated";
        return std::string(out.data(), length);
    }

    std::vector<std::string> addresses() {
        std::vector<std::string> result;
        for (int i = 0; i < coupler->nodeCount; ++i) result.emplace_back(coupler->nodes[i].address);
        return result;
    }

    std::unique_ptr<Coupler> coupler;
    SourceEntry* source = nullptr;
};

TEST_F(TemplatesTest, ExpandsValuesOfNodesOfTheSameSourceAndTheNodeItself) {
    Node* level = addNode("level", "L={{level}} T={{temp}} own={{*}}", 41.6);
    addNode("Temp", "", -3.2);
    EXPECT_EQ(format(level), "L=42 T=-3 own=42");

    Node* plain = addNode("plain", "no {placeholders} here }} { x", 1);
    EXPECT_EQ(format(plain), "no {placeholders} here }} { x");
}

TEST_F(TemplatesTest, UnmatchedOpeningBracesAreDropped) {
    Node* node = addNode("n", "a{{bc", 5);
    EXPECT_EQ(format(node), "abc");
    copyText(node->message, "end{{");
    EXPECT_EQ(format(node), "end");
    // A name holding a further "{{" runs to the first "}}" and is not found.
    copyText(node->message, "x{{a{{*}}y");
    EXPECT_EQ(format(node), "x{{NF}}y");
}

TEST_F(TemplatesTest, LookupsStayWithinTheNotifyingNodesSource) {
    SourceEntry other;
    copyText(other.name, "plantB");
    addNode("remote", "", 7, &other);
    addNode("loose", "", 8, nullptr);
    Node* node = addNode("n", "{{remote}}/{{loose}}/{{missing}}", 1);
    EXPECT_EQ(format(node), "{{NF}}/{{NF}}/{{NF}}");

    // A sourceless node's template sees only sourceless nodes.
    Node* sourceless = addNode("s", "{{LOOSE}}", 0, nullptr);
    EXPECT_EQ(format(sourceless), "8");
}

TEST_F(TemplatesTest, PreparationCreatesReferencedNodesForTheTemplatesSource) {
    SourceEntry other;
    addNode("remote", "", 0, &other);
    addNode("n", "{{remote}} {{new}} {{NEW}} {{%x}} {{*}} {{*x}} {{}} {{open", 0);
    coupler->prepareTemplates();

    ASSERT_EQ(addresses(), (std::vector<std::string>{"remote", "n", "remote", "new"}));
    for (int i = 2; i < coupler->nodeCount; ++i) {
        const Node& created = coupler->nodes[i];
        EXPECT_EQ(created.source, source);
        EXPECT_EQ(created.info, 1);
        EXPECT_EQ(created.condition[0], 0);
        EXPECT_FALSE(created.active);
    }
    // Names that were not created are not found when formatting either.
    copyText(coupler->nodes[1].message, "{{%x}}|{{*x}}|{{new}}");
    coupler->nodes[3].value = 12.5;
    EXPECT_EQ(format(&coupler->nodes[1]), "{{NF}}|{{NF}}|12");
}

TEST_F(TemplatesTest, FullTableCreatesNothingAndReferencesShowNotFound) {
    for (int i = 0; i < kMaxNodes - 1; ++i) addNode(("n" + std::to_string(i)).c_str(), "", i);
    Node* last = addNode("last", "{{ghost}} and {{n2}}", 9);
    coupler->prepareTemplates();
    EXPECT_EQ(coupler->nodeCount, kMaxNodes);
    EXPECT_EQ(format(last), "{{NF}} and 2");
}

TEST_F(TemplatesTest, NamesOfOneHundredCharactersNeitherCreateNorMatch) {
    std::string name99(99, 'a');
    std::string name100(100, 'b');
    Node* node = addNode("n", "{{" + name99 + "}}{{" + name100 + "}}", 0);
    coupler->prepareTemplates();
    ASSERT_EQ(coupler->nodeCount, 2);
    EXPECT_EQ(std::string(coupler->nodes[1].address), name99);

    // A node whose address is the 100-character name cut to 99 is no match.
    addNode(std::string(99, 'b').c_str(), "", 3);
    coupler->nodes[1].value = 4;
    EXPECT_EQ(format(node), "4{{NF}}");
}

TEST_F(TemplatesTest, RoomRulesAtTheEndOfTheOutput) {
    Node* node = addNode("n", "", 12345678);
    // Capacity 20: twelve characters leave exactly 8 bytes of room.
    copyText(node->message, "0123456789AB{{*}}tail");
    EXPECT_EQ(format(node, 20), "0123456789AB{{OV}}t");
    copyText(node->message, "0123456789AB{{missing}}");
    EXPECT_EQ(format(node, 20), "0123456789AB{{NF}}");
    // Below 8 bytes the first placeholder ends the text.
    copyText(node->message, "0123456789ABC{{*}}tail");
    EXPECT_EQ(format(node, 20), "0123456789ABC");
    copyText(node->message, "0123456789ABC{{missing}}");
    EXPECT_EQ(format(node, 20), "0123456789ABC");
    // Nine bytes of room take an eight-character value exactly.
    copyText(node->message, "0123456789A{{*}}");
    EXPECT_EQ(format(node, 20), "0123456789A12345678");
    // A longer value is cut where the output ends.
    node->value = -123456789012.0;
    EXPECT_EQ(format(node, 20), "0123456789A-1234567");
    // Plain characters stop when the output is full.
    copyText(node->message, "abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(format(node, 5), "abcd");
    EXPECT_EQ(format(node, 1), "");
}

TEST_F(TemplatesTest, RoomRulesInTheFullSizeTextBuffer) {
    // 1e300 prints as 301 characters: 26 of them and 166 plain characters
    // leave exactly 8 bytes of the 8000-byte text.
    Node* node = addNode("n", "", 1e300);
    std::string head;
    for (int i = 0; i < 26; ++i) head += "{{*}}";
    copyText(node->message, (head + std::string(166, '.') + "{{*}}{{*}}").c_str());
    std::string text = format(node);
    ASSERT_EQ(text.size(), 7992u + 6u);
    EXPECT_EQ(text.substr(7992), "{{OV}}");

    copyText(node->message, (head + std::string(167, '.') + "{{*}}").c_str());
    text = format(node);
    EXPECT_EQ(text.size(), 7993u);
    EXPECT_EQ(text.back(), '.');

    // Long negative values that do not fit are cut, never overrun.
    node->value = -1e300;
    copyText(node->message, (head + std::string(100, '.') + "{{*}}").c_str());
    text = format(node);
    EXPECT_EQ(text.size(), 7999u);
    EXPECT_EQ(text.substr(7951, 3), ".-1");
}

TEST_F(TemplatesTest, NullArgumentsLeaveATerminatedEmptyText) {
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_TRUE(coupler->formatMessage(out, sizeof out, nullptr));
    EXPECT_EQ(out[0], 0);
    EXPECT_TRUE(coupler->formatMessage(nullptr, 10, nullptr));
    EXPECT_TRUE(coupler->formatMessage(out, 0, nullptr));
}

}  // namespace

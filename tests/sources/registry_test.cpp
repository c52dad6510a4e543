// The source registry and the per-source worker, with a connection that
// records its calls and fails on command.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "sources/SourceConnection.h"
#include "sources/SourceWorker.h"
#include "sources/modbus/ModbusConnection.h"
#include "sources/s7/S7Connection.h"
#include "trigger/Trigger.h"

namespace {

int64_t fakeNow = 2000000;

class RecordingConnection : public SourceConnection {
  public:
    bool connect(const char* parameters) override {
        connects.push_back(parameters ? parameters : "(null)");
        open = acceptConnect;
        return open;
    }
    bool read(Node* node) override {
        reads.push_back(node->address);
        if (failAddress == node->address) return false;
        node->value = nextValue;
        return true;
    }
    bool isConnected() override { return open; }

    std::vector<std::string> connects;
    std::vector<std::string> reads;
    bool acceptConnect = true;
    bool open = false;
    std::string failAddress;
    double nextValue = 7;
};

// A coupler with one source and the given node addresses, its connection
// replaced by a recording one.
struct Plant {
    Coupler c;
    RecordingConnection* conn = nullptr;

    explicit Plant(const std::vector<std::string>& addresses) {
        c.sourceCount = 1;
        copyText(c.sources[0].name, "plant");
        copyText(c.sources[0].type, "test");
        copyText(c.sources[0].parameters, "tcp:127.0.0.1:1");
        auto recording = std::make_unique<RecordingConnection>();
        conn = recording.get();
        c.sources[0].connection = std::move(recording);
        for (const auto& a : addresses) {
            Node* n = c.findNode(a.c_str(), &c.sources[0], true);
            n->info = 0;
            setCondition(n, "N");
        }
    }
    Node& node(int i) { return c.nodes[i]; }
};

}  // namespace

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        setClockForTesting([] { return fakeNow; });
    }
    void TearDown() override { setClockForTesting(nullptr); }
};

TEST_F(Registry, CreatesTheConnectionFromTheTypeNameAtTheFirstRead) {
    EXPECT_NE(dynamic_cast<S7Connection*>(createConnection("SiMaTiC").get()), nullptr);
    EXPECT_NE(dynamic_cast<ModbusConnection*>(createConnection("MODBUS").get()), nullptr);
    EXPECT_EQ(createConnection("opc"), nullptr);

    Coupler c;
    c.sourceCount = 1;
    copyText(c.sources[0].type, "modbus");
    copyText(c.sources[0].parameters, "tcp:127.0.0.1:1");
    EXPECT_EQ(c.sources[0].connection, nullptr) << "nothing is created while loading";
    Node* n = c.findNode("!OFFLINE", &c.sources[0], true);
    EXPECT_TRUE(c.sources[0].readNode(n));
    SourceConnection* first = c.sources[0].connection.get();
    ASSERT_NE(first, nullptr);
    c.sources[0].readNode(n);
    EXPECT_EQ(c.sources[0].connection.get(), first) << "the object is reused by every attempt";
}

TEST_F(Registry, UnknownTypeNeverConnectsButOfflineNodesRead) {
    Coupler c;
    c.sourceCount = 1;
    copyText(c.sources[0].type, "opc");
    Node* offline = c.findNode("!offline", &c.sources[0], true);
    Node* plain = c.findNode("MW10", &c.sources[0], true);
    EXPECT_TRUE(c.sources[0].readNode(offline));
    EXPECT_EQ(offline->value, 1.0);
    EXPECT_FALSE(c.sources[0].readNode(plain));
    EXPECT_FALSE(c.sources[0].isConnected());
}

TEST_F(Registry, AFailedConnectBacksOffAndOnlyALostLinkStopsTheWalk) {
    Plant p({"!OFFLINE", "A", "B"});
    p.conn->acceptConnect = false;
    p.c.readSources();
    // The offline node triggers one attempt and reads 1.0; node A finds the
    // source in its back-off, fails without an attempt, and the worker stops before B.
    EXPECT_EQ(p.conn->connects, (std::vector<std::string>{"tcp:127.0.0.1:1"}));
    EXPECT_GT(p.c.sources[0].msUntilConnectAttempt(), 0);
    EXPECT_EQ(p.node(0).value, 1.0);
    EXPECT_TRUE(p.conn->reads.empty());
    EXPECT_TRUE(p.node(0).active) << "N fires on the offline value";
    EXPECT_FALSE(p.node(1).active);

    p.c.sources[0].connectRetryAtMs = 0;  // the back-off has passed
    p.conn->acceptConnect = true;
    p.conn->failAddress = "A";
    p.c.readSources();
    EXPECT_EQ(p.node(0).value, 0.0);
    EXPECT_EQ(p.conn->reads, (std::vector<std::string>{"A", "B"})) << "A failed on a link that stays";
    EXPECT_EQ(p.c.sources[0].failedReads, 1);

    p.conn->failAddress.clear();
    p.c.readSources();
    EXPECT_EQ(p.conn->reads, (std::vector<std::string>{"A", "B", "A", "B"}));
    EXPECT_EQ(p.node(2).value, 7.0);
    EXPECT_EQ(p.node(2).lastRead, fakeNow);
    EXPECT_EQ(p.conn->connects.size(), 2u) << "no new attempt while connected";
}

TEST_F(Registry, SourceIntervalLetsOneReadThroughAndStillEvaluates) {
    Plant p({"A", "B"});
    p.c.sources[0].readInterval = 60;
    p.node(1).value = 3;  // B holds a value, so N would fire on it when evaluated
    p.c.readSources();
    EXPECT_EQ(p.conn->reads, (std::vector<std::string>{"A"})) << "one read per source interval";
    EXPECT_EQ(p.node(1).value, 3.0);
    EXPECT_TRUE(p.node(1).active) << "the passed-over node is evaluated on its unchanged value";
    EXPECT_EQ(p.node(1).lastRead, fakeNow);

    fakeNow += 59;
    p.c.readSources();
    EXPECT_EQ(p.conn->reads.size(), 1u);
    fakeNow += 1;
    p.c.readSources();
    EXPECT_EQ(p.conn->reads, (std::vector<std::string>{"A", "A"}));
}

TEST_F(Registry, NodeIntervalSkipsReadAndEvaluation) {
    Plant p({"A"});
    p.node(0).readInterval = 30;
    p.c.readSources();
    EXPECT_EQ(p.conn->reads.size(), 1u);
    p.node(0).active = false;
    p.node(0).value = 0;
    fakeNow += 29;
    p.c.readSources();
    EXPECT_EQ(p.conn->reads.size(), 1u);
    EXPECT_FALSE(p.node(0).active) << "no evaluation while the node interval runs";
    fakeNow += 1;
    p.c.readSources();
    EXPECT_EQ(p.conn->reads.size(), 2u);
}

TEST_F(Registry, WorkerSkipsNodesOfOtherSourcesAndNodesWithoutSource) {
    Plant p({"A"});
    Node* orphan = p.c.findNode("X", nullptr, true);
    setCondition(orphan, "N");
    orphan->value = 5;
    p.c.readSources();
    EXPECT_EQ(p.conn->reads, (std::vector<std::string>{"A"}));
    EXPECT_FALSE(orphan->active);
    EXPECT_FALSE(readAndEvaluate(orphan)) << "a node without source is never read";
}

// The main thread would wait for ever on a worker that never says it is done,
// so the hand-over is watched here with a deadline of its own.
TEST_F(Registry, EmptyNodeTableSetsReadDone) {
    Plant p({});
    SourceEntry& source = p.c.sources[0];
    source.startRead(p.c.nodes, 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!source.readDone.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(source.readDone.load()) << "the worker never handed its nodes back";
    EXPECT_TRUE(p.conn->connects.empty());
}

TEST_F(Registry, ALastReadInTheFutureCountsAsElapsed) {
    Plant p({"A"});
    p.c.sources[0].readInterval = 60;
    p.node(0).readInterval = 60;
    p.c.sources[0].lastRead = fakeNow + 3600;  // clock set back, or a hand-edited states file
    p.node(0).lastRead = fakeNow + 3600;
    p.c.readSources();
    EXPECT_EQ(p.conn->reads.size(), 1u) << "the node is read now, not in an hour";
}

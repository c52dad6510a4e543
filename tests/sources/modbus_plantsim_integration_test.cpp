// tools/plantsim as a Modbus TCP server: the plant's values at fixed points of
// the scenario, several clients at once, exception codes, and requests that
// arrive in pieces or back to back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/Log.h"
#include "cycle/Coupler.h"
#include "sources/modbus/ModbusConnection.h"
#include "support/NodeAddress.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

using Bytes = std::vector<uint8_t>;

// plantsim frozen at scenario time `start`.
class Plantsim {
  public:
    explicit Plantsim(double start) {
        port_ = freeLoopbackPort();
        binary_ = binaryPath("tools/plantsim/plantsim");
        if (!fileExists(binary_)) return;
        process_.start({binary_, "--port", std::to_string(port_), "--speed", "0", "--start",
                        std::to_string(start), "--lifetime", "120"},
                       dir_.file("plantsim.log"));
        ready_ = waitForPort(port_, 10000);
    }
    bool ready() const { return ready_; }
    std::string why() const { return binary_ + " not ready; " + readFile(dir_.file("plantsim.log")); }
    int port() const { return port_; }
    std::string parameters() const { return "tcp:127.0.0.1:" + std::to_string(port_); }

  private:
    TempDir dir_;
    Process process_;
    std::string binary_;
    int port_ = -1;
    bool ready_ = false;
};

double valueAt(ModbusConnection& c, const char* address, bool* ok = nullptr) {
    Node node;
    setAddress(node, "modbus", address);
    node.value = -1;
    bool read = c.read(&node);
    if (ok) *ok = read;
    return read ? node.value : -1;
}

int rawConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Receives exactly `size` bytes within 3 s.
Bytes receive(int fd, size_t size) {
    Bytes data;
    uint8_t buffer[300];
    while (data.size() < size) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0) break;
        ssize_t n = recv(fd, buffer, std::min(sizeof buffer, size - data.size()), 0);
        if (n <= 0) break;
        data.insert(data.end(), buffer, buffer + n);
    }
    return data;
}

TEST(ModbusPlantsim, ValuesAtPointsOfTheScenario) {
    struct Case {
        double start;
        double level, pump, inlet, highSwitch, temperature;
    } cases[] = {
        {0, 70, 0, 1, 0, 200},    // cycle start: tank low, filling
        {15, 115, 0, 1, 0, 215},  // half way up
        {30, 160, 1, 0, 1, 230},  // full: pump on, high-level switch on
        {45, 115, 1, 0, 0, 215},  // half way down
        {75, 115, 0, 1, 0, 215},  // second cycle, half way up
    };
    for (const Case& k : cases) {
        Plantsim plant(k.start);
        ASSERT_TRUE(plant.ready()) << plant.why();
        ModbusConnection c;
        ASSERT_TRUE(c.connect(plant.parameters().c_str()));
        EXPECT_EQ(valueAt(c, "400001"), k.level) << k.start;
        EXPECT_EQ(valueAt(c, "4:2"), 100) << k.start;
        EXPECT_EQ(valueAt(c, "4:3"), k.start >= 60 ? 1 : 0) << k.start;
        EXPECT_EQ(valueAt(c, "0:1"), k.pump) << k.start;
        EXPECT_EQ(valueAt(c, "0:2"), k.inlet) << k.start;
        EXPECT_EQ(valueAt(c, "100001"), k.highSwitch) << k.start;
        EXPECT_EQ(valueAt(c, "300001"), k.temperature) << k.start;
    }
}

TEST(ModbusPlantsim, SeveralClientsAndExceptions) {
    Plantsim plant(30);
    ASSERT_TRUE(plant.ready()) << plant.why();
    ModbusConnection a, b;
    ASSERT_TRUE(a.connect(plant.parameters().c_str()));
    ASSERT_TRUE(b.connect(plant.parameters().c_str()));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(valueAt(a, "400001"), 160);
        EXPECT_EQ(valueAt(b, "0:1"), 1);
    }

    setLogLevel(1);
    testing::internal::CaptureStdout();
    bool ok = true;
    valueAt(a, "4:16", &ok);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    setLogLevel(0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out.rfind("-ModbusRead, Exception 2: illegal data address, node 4:16 at 127.0.0.1:", 0), 0u)
        << out;
    EXPECT_TRUE(a.isConnected());
    EXPECT_EQ(valueAt(a, "4:15"), 0);

    // Write Single Register (6) is not served: exception 1.
    int fd = rawConnect(plant.port());
    ASSERT_GE(fd, 0);
    const uint8_t write[] = {0, 9, 0, 0, 0, 6, 1, 6, 0, 1, 0, 5};
    ASSERT_EQ(send(fd, write, sizeof write, 0), 12);
    EXPECT_EQ(receive(fd, 9), (Bytes{0, 9, 0, 0, 0, 3, 1, 0x86, 1}));
    // Ten registers from 10 run past address 15: exception 2; 126 registers: exception 3.
    const uint8_t past[] = {0, 10, 0, 0, 0, 6, 1, 3, 0, 10, 0, 10, 0, 11, 0, 0, 0, 6, 1, 3, 0, 0, 0, 126};
    ASSERT_EQ(send(fd, past, sizeof past, 0), 24);
    EXPECT_EQ(receive(fd, 18), (Bytes{0, 10, 0, 0, 0, 3, 1, 0x83, 2, 0, 11, 0, 0, 0, 3, 1, 0x83, 3}));
    close(fd);
}

TEST(ModbusPlantsim, RequestsInPiecesAndSeveralObjects) {
    Plantsim plant(30);
    ASSERT_TRUE(plant.ready()) << plant.why();
    int fd = rawConnect(plant.port());
    ASSERT_GE(fd, 0);
    // Holding registers 0..3 in two segments.
    const uint8_t request[] = {0x12, 0x34, 0, 0, 0, 6, 7, 3, 0, 0, 0, 4};
    ASSERT_EQ(send(fd, request, 5, 0), 5);
    usleep(100000);
    ASSERT_EQ(send(fd, request + 5, 7, 0), 7);
    EXPECT_EQ(receive(fd, 17), (Bytes{0x12, 0x34, 0, 0, 0, 11, 7, 3, 8, 0, 0, 0, 160, 0, 100, 0, 0}));
    // Coils 0..9 take two bytes, bit 0 first.
    const uint8_t coils[] = {0, 1, 0, 0, 0, 6, 0, 1, 0, 0, 0, 10};
    ASSERT_EQ(send(fd, coils, sizeof coils, 0), 12);
    EXPECT_EQ(receive(fd, 11), (Bytes{0, 1, 0, 0, 0, 5, 0, 1, 2, 0x02, 0x00}));
    // A frame that is not Modbus TCP ends the client's connection.
    const uint8_t garbage[] = {0, 1, 0x47, 0x45, 0, 6, 0, 1, 0, 0, 0, 1};
    ASSERT_EQ(send(fd, garbage, sizeof garbage, 0), 12);
    EXPECT_TRUE(receive(fd, 1).empty());
    close(fd);
}

// 37.5 s into the cycle the level falls through 137.5 cm at 30 mm/s and the
// temperature register holds 226 (22.6 degC).
constexpr double kFalling = 37.5;

std::string plantConfig(const Plantsim& plant, const std::string& nodes) {
    return "coupler;runmode;single\nsource;plant\nadr;modbus;" + plant.parameters() + ":1\n" + nodes +
           "receiver;log\nadr;file;alarms.csv\ndir;alarm\n";
}

TEST(ModbusPlantsim, ProbeReadsEveryNodeOnceAndWritesNothing) {
    Plantsim plant(kFalling);
    ASSERT_TRUE(plant.ready()) << plant.why();
    TempDir dir;
    const std::string nodes =
        "node;a;400004:FLOAT32;Level {{*}};alarm;O:100\n"
        "node;a;400006:int16;Rate {{*}};alarm;U:0\n"
        "node;a;300001;Temperature {{*}};alarm;O:30\n"
        "scale;0.1;0\n";
    writeFile(dir.file("good.ini"), plantConfig(plant, nodes));
    RunResult run = runZentokIn(dir.path(), {"probe", "-i", "good.ini"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    for (const char* line :
         {"400004:FLOAT32       FLOAT32 ABCD   raw 137.5        value 137.5        condition O:100 holds\n",
          "400006:int16         INT16          raw -30          value -30          condition U:0 holds\n",
          "300001               UINT16         raw 226          value 22.6         condition O:30 does not "
          "hold\n",
          "probe: 3 of 3 nodes read\n"})
        EXPECT_NE(run.output.find(line), std::string::npos) << run.output;

    // Registers 15 and 16: the plant has no 16, so that read fails; the rest are still read.
    writeFile(dir.file("bad.ini"), plantConfig(plant, "node;a;4:15:UINT32;Past the end;alarm;N\n" + nodes));
    run = runZentokIn(dir.path(), {"probe", "-i", "bad.ini"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    size_t refused =
        run.output.find("-ModbusRead, Exception 2: illegal data address, node 4:15:UINT32 at 127.0.0.1:");
    EXPECT_NE(refused, std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\n4:15:UINT32          UINT32 ABCD    read failed\n", refused),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("probe: 3 of 4 nodes read\n"), std::string::npos) << run.output;
    EXPECT_FALSE(fileExists(dir.file("zentok_states.csv")));
    EXPECT_FALSE(fileExists(dir.file("zentok_outbox.csv")));
    EXPECT_FALSE(fileExists(dir.file("alarms.csv")));
}

// A level in m from the float in cm fires O:1.2; the message, the file
// channel's line and the states file keep the decimals.
TEST(ModbusPlantsim, ScaledFloatAlarmKeepsItsDecimals) {
    Plantsim plant(kFalling);
    ASSERT_TRUE(plant.ready()) << plant.why();
    TempDir dir;
    writeFile(dir.file("zentok.ini"),
              plantConfig(plant,
                          "node;a;400004:FLOAT32;Level {{*}} m at {{300001}} C;alarm;O:1.2\n"
                          "scale;0.01;0\n"
                          "node;a;300001;Warm;alarm;O:30\n"
                          "scale;0.1;0\n"));
    RunResult run = runZentokIn(dir.path(), {"-i", "zentok.ini"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    std::string alarms = readFile(dir.file("alarms.csv"));
    EXPECT_EQ(countOf(alarms, "\n"), 1) << alarms;
    EXPECT_NE(alarms.find("\"plant\";\"400004:FLOAT32\";"), std::string::npos) << alarms;
    EXPECT_NE(alarms.find(";1.375;\"Level 1.375 m at 22.6 C\"\n"), std::string::npos) << alarms;
    std::string states = readFile(dir.file("zentok_states.csv"));
    EXPECT_NE(states.find("\"plant\";\"400004:FLOAT32\";2"), std::string::npos) << states;  // fired
    EXPECT_NE(states.find(";0;1.375\n"), std::string::npos) << states;
    EXPECT_NE(states.find(";0;22.6\n"), std::string::npos) << states;
}

}  // namespace

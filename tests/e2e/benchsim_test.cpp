// benchsim, the simulated supply and pack: driven directly over loopback
// TCP and pseudo-terminals through the library's port layer and supply
// driver (rig_test plays it against the real charger through whole charges).
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "charger/charger.h"
#include "harness.h"
#include "serial/serial.h"
#include "util/settings.h"
#include "xfr/xfr.h"

namespace {

using namespace e2e;

struct Endpoints {
    std::string supply;
    std::string pack;
};

const std::string CHARGING_SETUP = "CLR\rOUT 0\rVSET 35.9000V\rISET 45.0000A\rOUT 1\r";

class Benchsim : public Sandbox {
   public:
    void SetUp() override {
        Sandbox::SetUp();
        QUIET_PORT_PROGRESS = 1;
    }

    // Starts benchsim with args, on ephemeral ports unless args name others,
    // and reads back the endpoints it printed.
    Endpoints start(std::vector<std::string> args, bool ephemeral = true) {
        if (ephemeral) args.insert(args.begin(), {"--supply", "127.0.0.1:0", "--pack", "127.0.0.1:0"});
        SpawnOptions options;
        options.program = BENCHSIM_BIN;
        options.args = args;
        options.fakeTime = false;
        options.name = "benchsim" + std::to_string(++started_);
        bench_ = &spawn(options);
        Endpoints endpoints;
        EXPECT_TRUE(bench_->waitForStdout("\n", 2)) << bench_->stderrText();
        std::istringstream lines(bench_->stdoutText());
        std::string name, endpoint;
        while (lines >> name >> endpoint) (name == "pack" ? endpoints.pack : endpoints.supply) = endpoint;
        return endpoints;
    }

    Child& bench() { return *bench_; }

    // The state of charge benchsim logged for the last status request.
    std::string lastGauge() {
        static const std::regex logged(R"(pack: @RQ -> gauge ([0-9.]+) %)");
        const std::vector<std::string> gauges = capturesOf(bench_->stderrText(), logged);
        return gauges.empty() ? "-1" : gauges.back();
    }

    int open(const std::string& endpoint) {
        int fd = 0;
        EXPECT_GT(openInstrument(endpoint.c_str(), &fd), 0) << endpoint;
        return fd;
    }

    // Sends text and returns what one receive brings back.
    static std::string ask(int fd, const std::string& text) {
        EXPECT_EQ(sendStr(fd, text.c_str()), 0);
        std::array<char, REPLY_BUFFER_SIZE> buffer{};
        int count = recvStr(fd, buffer.data(), REPLY_BUFFER_SIZE - 1);
        return count > 0 ? std::string(buffer.data(), static_cast<std::size_t>(count)) : std::string();
    }

    // Sends commands that get no answer; a query after them sees them all
    // applied, since each instrument handles its input in order.
    static void tell(int fd, const std::string& commands) { EXPECT_EQ(sendStr(fd, commands.c_str()), 0); }

   private:
    int started_ = 0;
    Child* bench_ = nullptr;
};

// Nothing is waiting to be read on fd.
bool nothingWaiting(int fd) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 0) == 0;
}

BatteryStatus decode(const std::string& reply) {
    BatteryStatus status{};
    decodeStatusReply(reply.c_str(), &status);
    return status;
}

int signedCurrent(const BatteryStatus& status) { return static_cast<std::int16_t>(status.current); }

// ---------------------------------------------------------------------------

TEST_F(Benchsim, SupplyKeepsItsSettingsAndAnswersEveryQuery) {
    struct Case {
        const char* name;
        std::string commands;
        std::string query;
        std::string answer;
    };
    const std::vector<Case> cases{
        {"output off at start", "", "OUT?\r", "OUT 0\r"},
        {"output on", "OUT 1\r", "OUT?\r", "OUT 1\r"},
        {"output on then off", "OUT 1\rOUT 0\r", "OUT?\r", "OUT 0\r"},
        {"voltage setpoint", "VSET 35.9000V\r", "VSET?\r", "VSET 35.9000\r"},
        {"current setpoint", "ISET 22.5000A\r", "ISET?\r", "ISET 22.5000\r"},
        {"latest setpoint wins", "ISET 45.0000A\rISET 7.5000A\r", "ISET?\r", "ISET 7.5000\r"},
        {"reset clears setpoints", "ISET 22.5000A\rOUT 1\rRST\r", "ISET?\r", "ISET 0.0000\r"},
        {"reset switches off", "OUT 1\rRST\r", "OUT?\r", "OUT 0\r"},
        {"trigger changes nothing", "VSET 12.0000V\rTRG\r", "VSET?\r", "VSET 12.0000\r"},
        {"open output at its setpoint", "VSET 35.9000V\rOUT 1\r", "VOUT?\r", "VOUT 35.9000\r"},
        {"output off reads 0 V", "VSET 35.9000V\r", "VOUT?\r", "VOUT 0.0000\r"},
        {"no load, no current", "VSET 35.9000V\rISET 45.0000A\rOUT 1\r", "IOUT?\r", "IOUT 0.0000\r"},
        {"no load is constant voltage", "VSET 35.9000V\rOUT 1\r", "STS?\r", "STS 1\r"},
        {"off is no mode", "", "STS?\r", "STS 0\r"},
        {"no error", "", "ERR?\r", "ERR 0\r"},
        {"unknown command", "FOO\r", "ERR?\r", "ERR 1\r"},
        {"bad value", "VSET volts\r", "ERR?\r", "ERR 1\r"},
        {"clear", "FOO\rCLR\r", "ERR?\r", "ERR 0\r"},
        {"above VMAX is refused", "VMAX 30.0000V\rVSET 35.9000V\r", "VSET?\r", "VSET 0.0000\r"},
        {"refusal is an error", "VMAX 30.0000V\rVSET 35.9000V\r", "ERR?\r", "ERR 2\r"},
        {"no fault", "", "FAULT?\r", "FAULT 0\r"},
        {"over-voltage trips", "OVSET 30.0000V\rVSET 35.9000V\rOUT 1\r", "FAULT?\r", "FAULT 1\r"},
        {"a trip switches off", "OVSET 30.0000V\rVSET 35.9000V\rOUT 1\r", "OUT?\r", "OUT 0\r"},
        {"clear resets the trip", "OVSET 30.0000V\rVSET 35.9000V\rOUT 1\rCLR\r", "FAULT?\r", "FAULT 0\r"},
        {"accumulated status", "VSET 35.9000V\rOUT 1\r", "ASTS?\r", "ASTS 1\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Endpoints endpoints = start({"--quiet"});
        const int supply = open(endpoints.supply);
        tell(supply, c.commands);
        EXPECT_EQ(ask(supply, c.query), c.answer);
        bench().stop();
    }
}

TEST_F(Benchsim, DriverSetsUpTheSupplyAndReadsEveryValueBack) {
    const Endpoints endpoints = start({"--step", "1"});
    const int supply = open(endpoints.supply);
    const int pack = open(endpoints.pack);
    xfrInit(supply);
    xfrDisableOutput(supply);
    xfrSetVolts(supply, CHARGE_VOLTS);
    xfrSetCurrent(supply, STAGE_CURRENT[0]);
    xfrEnableOutput(supply);
    tell(pack, PACK_START);
    ASSERT_TRUE(bench().waitForStderr("battery enabled"));

    double amperes = -1, volts = -1;
    int state = -1, error = -1, asts = -1, sts = -1, fault = -1;
    EXPECT_EQ(xfrGetISet(supply, &amperes), 1);
    EXPECT_DOUBLE_EQ(amperes, 45.0);
    EXPECT_EQ(xfrGetVSet(supply, &volts), 1);
    EXPECT_DOUBLE_EQ(volts, 35.9);
    EXPECT_EQ(xfrGetOut(supply, &state), 1);
    EXPECT_EQ(state, 1);
    EXPECT_EQ(xfrGetIOut(supply, &amperes), 1);
    EXPECT_DOUBLE_EQ(amperes, 45.0);
    // Under load the output sits at the pack's voltage, below the setpoint.
    EXPECT_EQ(xfrGetVOut(supply, &volts), 1);
    EXPECT_GT(volts, 8 * 2.9);
    EXPECT_LT(volts, 35.9);
    EXPECT_EQ(xfrGetErr(supply, &error), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(xfrGetStatus(supply, &asts, &sts, &fault), 1);
    EXPECT_EQ(sts, 2) << "constant current while the pack takes all it is given";
    EXPECT_EQ(asts & 2, 2);
    EXPECT_EQ(fault, 0);
}

TEST_F(Benchsim, PackCurrentFollowsTheSupplyAndThePack) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string supplyCommands;
        std::string packCommands;
        int lowest;  // pack current, hundredths of an ampere
        int highest;
        bool enabled;
    };
    const std::vector<Case> cases{
        {"charging at the setpoint", {}, CHARGING_SETUP, "@AC\n", 4500, 4500, true},
        {"a lower setpoint", {}, CHARGING_SETUP + "ISET 12.5000A\r", "@AC\n", 1250, 1250, true},
        {"limited by IMAX", {}, "IMAX 20.0000A\r" + CHARGING_SETUP, "@AC\n", 2000, 2000, true},
        {"pack not started", {}, CHARGING_SETUP, "", 0, 0, false},
        {"pack off", {}, CHARGING_SETUP, "@AC\n@AF\n", 0, 0, false},
        {"output off: the pack feeds itself", {}, CHARGING_SETUP + "OUT 0\r", "@AC\n", -10, -10, true},
        {"supply below the pack", {}, CHARGING_SETUP + "VSET 20.0000V\r", "@AC\n", 0, 0, true},
        {"taper near full", {"--initial-charge", "98"}, CHARGING_SETUP, "@AC\n", 300, 1249, true},
        {"nothing once full", {"--initial-charge", "100"}, CHARGING_SETUP, "@AC\n", 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"--step", "1", "--quiet"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Endpoints endpoints = start(args);
        const int supply = open(endpoints.supply);
        const int pack = open(endpoints.pack);
        tell(supply, c.supplyCommands);
        // The supply has taken every command once it answers a query.
        ASSERT_EQ(ask(supply, "ERR?\r"), "ERR 0\r");
        if (!c.packCommands.empty()) tell(pack, c.packCommands);

        const std::string reply = ask(pack, PACK_STATUS_REQUEST);
        ASSERT_EQ(reply.size(), 77u);
        const BatteryStatus status = decode(reply);
        EXPECT_GE(signedCurrent(status), c.lowest);
        EXPECT_LE(signedCurrent(status), c.highest);
        EXPECT_EQ((status.statusRegister & 0x8000) != 0, c.enabled) << "battery enable";
        EXPECT_EQ((status.statusRegister & 0x0400) != 0, signedCurrent(status) > 0) << "charge mode";

        // The supply delivers what the pack takes.
        double amperes = -1;
        ASSERT_EQ(xfrGetIOut(supply, &amperes), 1);
        EXPECT_NEAR(amperes, std::max(0, signedCurrent(status)) / 100.0, 0.01);
        bench().stop();
    }
}

TEST_F(Benchsim, ReplyIs77BytesThatDecodeToTheSimulatedValues) {
    const Endpoints endpoints = start({"--step", "600", "--initial-charge", "50"});
    const int supply = open(endpoints.supply);
    const int pack = open(endpoints.pack);
    tell(supply, CHARGING_SETUP);
    ASSERT_EQ(ask(supply, "ERR?\r"), "ERR 0\r");
    tell(pack, PACK_START);

    static const std::regex logged(
        R"(pack: @RQ -> gauge ([0-9.]+) % current (-?[0-9.]+) A balance ([0-9A-F]{2}) status ([0-9A-F]{4}))");
    for (int request = 1; request <= 6; ++request) {
        SCOPED_TRACE("request " + std::to_string(request));
        const std::string reply = ask(pack, PACK_STATUS_REQUEST);
        ASSERT_EQ(reply.size(), 77u);
        EXPECT_TRUE(
            std::all_of(reply.begin(), reply.begin() + 74, [](char c) { return std::isxdigit(c) != 0; }));
        EXPECT_EQ(reply.substr(74), "XX\n");
        const BatteryStatus status = decode(reply);

        ASSERT_TRUE(bench().waitForStderr("pack: @RQ", request));
        const std::string log = bench().stderrText();
        std::vector<std::smatch> lines;
        for (auto it = std::sregex_iterator(log.begin(), log.end(), logged); it != std::sregex_iterator();
             ++it) {
            lines.push_back(*it);
        }
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(request));
        const std::smatch& line = lines.back();
        EXPECT_EQ(status.gasGauge, std::lround(std::stod(line[1].str()) * 100));
        EXPECT_EQ(signedCurrent(status), std::lround(std::stod(line[2].str()) * 100));
        EXPECT_EQ(status.balanceRegister, std::stoi(line[3].str(), nullptr, 16));
        EXPECT_EQ(status.statusRegister, std::stoi(line[4].str(), nullptr, 16));

        const auto [low, high] = std::minmax_element(status.cellVoltage.begin(), status.cellVoltage.end());
        EXPECT_GE(*low, 2900);
        EXPECT_LE(*high, 3650);
        EXPECT_GT(*high - *low, 0) << "the cells are never all alike";
        for (int temp : status.temps) EXPECT_GE(temp, 25);
        EXPECT_GE(status.relativeHumidity, 5);
        EXPECT_LE(status.relativeHumidity, 95);
        EXPECT_EQ(status.tempAlertRegister, 0);
        EXPECT_EQ(status.voltAlertRegister, 0);
    }
}

TEST_F(Benchsim, AChargeAtAFixedSetpointFillsTheBalanceRegisterCellByCell) {
    const Endpoints endpoints = start({"--step", "30", "--quiet"});
    const int supply = open(endpoints.supply);
    const int pack = open(endpoints.pack);
    tell(supply, CHARGING_SETUP);
    ASSERT_EQ(ask(supply, "ERR?\r"), "ERR 0\r");
    tell(pack, PACK_START);

    std::vector<BatteryStatus> replies;
    while (replies.size() < 1000 && (replies.empty() || replies.back().balanceRegister != 0xFF)) {
        const std::string reply = ask(pack, PACK_STATUS_REQUEST);
        ASSERT_EQ(reply.size(), 77u) << "after " << replies.size() << " replies";
        replies.push_back(decode(reply));
    }
    ASSERT_EQ(replies.back().balanceRegister, 0xFF);

    std::vector<int> registers{0};
    int hottest = 0;
    bool fan = false;
    for (std::size_t i = 1; i < replies.size(); ++i) {
        const BatteryStatus& before = replies[i - 1];
        const BatteryStatus& now = replies[i];
        EXPECT_GE(now.gasGauge, before.gasGauge);
        // A cell at its top stays there.
        EXPECT_EQ(now.balanceRegister & before.balanceRegister, before.balanceRegister);
        EXPECT_LE(std::popcount(static_cast<unsigned>(now.balanceRegister ^ before.balanceRegister)), 1)
            << "one cell at a time at this pace";
        if (now.balanceRegister != registers.back()) registers.push_back(now.balanceRegister);
        hottest = std::max(hottest, *std::max_element(now.temps.begin(), now.temps.begin() + 8));
        fan = fan || (now.statusRegister & 0x0008) != 0;
    }
    EXPECT_EQ(registers.size(), 9u) << "every cell reaches its top at its own time";
    EXPECT_EQ(signedCurrent(replies.front()), 4500);
    // The pack takes less than the setpoint before it is full.
    const BatteryStatus& lastBeforeFull = replies[replies.size() - 2];
    EXPECT_GT(signedCurrent(lastBeforeFull), 0);
    EXPECT_LT(signedCurrent(lastBeforeFull), 1000);
    EXPECT_GE(hottest, 25 + 10) << "45 A warms the pack";
    EXPECT_TRUE(fan);
    EXPECT_EQ(replies.back().gasGauge, 10000);
    EXPECT_EQ(signedCurrent(replies.back()), 0);
    EXPECT_EQ(replies.back().statusRegister & 0x0400, 0) << "no charge mode once full";

    tell(pack, PACK_OFF);
    const BatteryStatus off = decode(ask(pack, PACK_STATUS_REQUEST));
    EXPECT_EQ(off.statusRegister & 0x8000, 0);
    EXPECT_EQ(off.balanceRegister, 0xFF);
}

TEST_F(Benchsim, AlertRegistersFlagALayerPastItsLimit) {
    const Endpoints endpoints = start({"--step", "1200", "--ambient", "40", "--quiet"});
    const int supply = open(endpoints.supply);
    const int pack = open(endpoints.pack);
    tell(supply, CHARGING_SETUP);
    ASSERT_EQ(ask(supply, "ERR?\r"), "ERR 0\r");
    tell(pack, PACK_START);
    const BatteryStatus status = decode(ask(pack, PACK_STATUS_REQUEST));
    for (std::size_t entry = 0; entry < 8; ++entry) {
        // Entry 1 is layer 8, whose alert is bit 7.
        const bool flagged = (status.tempAlertRegister & (1 << (7 - entry))) != 0;
        EXPECT_EQ(flagged, status.temps[entry] > 45) << "temperature entry " << entry + 1;
    }
    EXPECT_NE(status.tempAlertRegister & 0xFF, 0);
    EXPECT_NE(status.statusRegister & 0x4000, 0) << "battery hot limit";
    EXPECT_EQ(status.voltAlertRegister, 0);
}

TEST_F(Benchsim, FaultOptions) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::function<void(Benchsim& test, int supply, int pack)> check;
    };
    const std::vector<Case> cases{
        {"pack falls silent after two replies",
         {"--pack-silent-after", "2"},
         [](Benchsim& test, int, int pack) {
             EXPECT_EQ(ask(pack, PACK_STATUS_REQUEST).size(), 77u);
             EXPECT_EQ(ask(pack, PACK_STATUS_REQUEST).size(), 77u);
             tell(pack, PACK_STATUS_REQUEST);
             ASSERT_TRUE(test.bench().waitForStderr("not answered"));
             EXPECT_TRUE(nothingWaiting(pack));
         }},
        {"pack closes the connection after one reply",
         {"--pack-close-after", "1"},
         [](Benchsim&, int, int pack) {
             EXPECT_EQ(ask(pack, PACK_STATUS_REQUEST).size(), 77u);
             pollfd ready{pack, POLLIN, 0};
             ASSERT_EQ(poll(&ready, 1, 5000), 1);
             char byte;
             EXPECT_EQ(read(pack, &byte, 1), 0) << "end of stream";
         }},
        // A few milliseconds apart, as a device server may forward a reply:
        // one receive still brings all of it.
        {"pack answers in two pieces",
         {"--pack-split", "10"},
         [](Benchsim& test, int, int pack) {
             const std::string reply = ask(pack, PACK_STATUS_REQUEST);
             EXPECT_EQ(reply.size(), 77u);
             EXPECT_EQ(reply.substr(74), "XX\n");
             EXPECT_EQ(decode(reply).gasGauge, std::lround(std::stod(test.lastGauge()) * 100));
         }},
        {"pack sends an XOFF after its start command",
         {"--pack-xoff"},
         [](Benchsim&, int, int pack) {
             tell(pack, PACK_START);
             std::array<char, REPLY_BUFFER_SIZE> byte{};
             EXPECT_EQ(recvStr(pack, byte.data(), REPLY_BUFFER_SIZE - 1), 1);
             EXPECT_EQ(byte[0], '\x13');
         }},
        {"pack answers garbage",
         {"--pack-garbage"},
         [](Benchsim&, int, int pack) {
             const std::string reply = ask(pack, PACK_STATUS_REQUEST);
             ASSERT_EQ(reply.size(), 77u);
             BatteryStatus status{};
             status.gasGauge = 0x1234;
             decodeStatusReply(reply.c_str(), &status);
             EXPECT_EQ(status.gasGauge, 0x1234) << "no field scans";
         }},
        {"pack answers short",
         {"--pack-length", "76"},
         [](Benchsim&, int, int pack) { EXPECT_EQ(ask(pack, PACK_STATUS_REQUEST).size(), 76u); }},
        {"pack answers long",
         {"--pack-length", "78"},
         [](Benchsim&, int, int pack) {
             const std::string reply = ask(pack, PACK_STATUS_REQUEST);
             EXPECT_EQ(reply.size(), 78u);
             EXPECT_EQ(reply.substr(75), "XX\n");
         }},
        {"supply takes commands but answers no query",
         {"--supply-mute"},
         [](Benchsim& test, int supply, int) {
             tell(supply, "OUT 1\rOUT?\r");
             ASSERT_TRUE(test.bench().waitForStderr("OUT? not answered"));
             EXPECT_TRUE(nothingWaiting(supply));
             EXPECT_EQ(countOf(test.bench().stderrText(), "OUT 1, output on"), 1);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Endpoints endpoints = start(c.args);
        const int supply = open(endpoints.supply);
        const int pack = open(endpoints.pack);
        c.check(*this, supply, pack);
        bench().stop();
    }
}

TEST_F(Benchsim, ServesBothInstrumentsOnPseudoTerminals) {
    const Endpoints endpoints =
        start({"--supply-pty", "--pack-pty", "--pace", "9600", "--step", "60"}, false);
    ASSERT_TRUE(endpoints.supply.starts_with("/dev/pts/")) << endpoints.supply;
    ASSERT_TRUE(endpoints.pack.starts_with("/dev/pts/")) << endpoints.pack;
    // Device paths: the port layer's serial branch.
    const int supply = open(endpoints.supply);
    const int pack = open(endpoints.pack);
    xfrSetVolts(supply, CHARGE_VOLTS);
    xfrSetCurrent(supply, STAGE_CURRENT[1]);
    xfrEnableOutput(supply);
    int state = -1;
    ASSERT_EQ(xfrGetOut(supply, &state), 1);
    EXPECT_EQ(state, 1);
    tell(pack, PACK_START);
    const std::string reply = ask(pack, PACK_STATUS_REQUEST);
    ASSERT_EQ(reply.size(), 77u);
    EXPECT_EQ(signedCurrent(decode(reply)), 2250);
}

// A supply on a serial line at 9600 bit/s answers one character a
// millisecond: every value supplyctl asks for is still read, every time.
TEST_F(Benchsim, SupplyctlReadsEveryValueOfASupplyOnA9600BitLine) {
    const Endpoints endpoints = start({"--supply-pty", "--pace", "9600", "--quiet"});
    ASSERT_TRUE(endpoints.supply.starts_with("/dev/pts/")) << endpoints.supply;
    auto supplyctl = [&](std::vector<std::string> args, const std::string& name) -> Child& {
        args.insert(args.begin(), endpoints.supply);
        Child& run = spawn({SUPPLYCTL_BIN, args, {}, name, false});
        EXPECT_TRUE(run.waitExit(30000ms)) << name;
        return run;
    };
    for (auto command : {std::vector<std::string>{"volts", "35.9"}, {"current", "22.5"}, {"on"}}) {
        Child& run = supplyctl(command, "supplyctl-" + command[0]);
        EXPECT_EQ(run.exitCode(), 0) << command[0] << run.stderrText();
    }
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        Child& status = supplyctl({"status"}, "supplyctl-status" + std::to_string(run));
        EXPECT_EQ(status.exitCode(), 0);
        EXPECT_EQ(
            status.stdoutText(),
            "IOUT=0.0000\nVOUT=35.9000\nISET=22.5000\nVSET=35.9000\nOUT=1\nERR=0\nASTS=1\nSTS=1\nFAULT=0\n");
        EXPECT_EQ(status.stderrText(), "");
    }
}

}  // namespace

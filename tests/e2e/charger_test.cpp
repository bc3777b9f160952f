// The charger's monitoring spine end to end: the real binary against a
// scripted pack and a supply that only records, checked on standard output,
// standard error, the charge log, the bytes the pack received and the
// system-log lines.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace e2e;

const std::string POLL_START = "sending status request\nwaiting for reply\ncalling select\n";
const std::string SLEEP = "going to sleep\n";

// Standard output up to and including the end of the n-th poll (from 1).
std::string polls(const std::string& out, int n) {
    std::size_t end = 0;
    for (int i = 0; i < n; ++i) {
        std::size_t at = out.find(SLEEP, end);
        if (at == std::string::npos) return out;
        end = at + SLEEP.size();
    }
    return out.substr(0, end);
}

// The pack received its start command once, then nothing but status requests.
void expectOnlyRequestsAfterStart(const ScriptedPack& pack) {
    const std::string got = pack.received();
    std::string expected = "@AC\n";
    for (int i = 0; i < pack.requests(); ++i) expected += "@RQ\n";
    EXPECT_EQ(got, expected);
}

// The time stamp of every report, in order.
std::vector<std::string> reportTimes(const std::string& out) {
    static const std::regex line(R"(\ntime: (\d+)\n)");
    return capturesOf(out, line);
}

// The tests stop the charger with SIGKILL: a stop signal it can catch would
// add the supply's off command to what the supply received.
class ChargerMonitoring : public Sandbox {};

TEST_F(ChargerMonitoring, AcceptedRepliesAreReportedOnStdoutChargeLogAndSyslog) {
    StatusFields first;
    first.gasGauge = 0x1F40;
    first.cellMillivolts = {3601, 3602, 3603, 3604, 3605, 3606, 3607, 3608};
    first.current = 0xFF9C;
    first.temps = {20, 21, 22, 23, 24, 25, 26, 27, 0x41};
    first.humidity = 0x37;
    first.balance = 0x05;
    first.tempAlert = 1;
    first.voltAlert = 0;
    first.status = 0x8408;
    StatusFields second;
    second.gasGauge = 0x2710;
    second.current = 0x7FFF;
    second.humidity = 5;
    second.balance = 0;
    second.voltAlert = 0x12;
    second.status = 0;
    const std::string firstReply = statusReply(first);
    ScriptedPack pack({PackStep::answer(firstReply), PackStep::answer(statusReply(second))});
    RecordingSupply supply;

    Child& charger = startCharger();
    ASSERT_TRUE(charger.waitForStdout(SLEEP, 3));
    ASSERT_TRUE(waitForSyslog(4));
    charger.stop(SIGKILL);

    const std::string out = stdoutText();
    const std::vector<std::string> times = reportTimes(out);
    ASSERT_EQ(times.size(), 2u) << out;
    EXPECT_EQ(polls(out, 1), POLL_START +
                                 "select returned 1\n"
                                 "status is 77\n"
                                 "response is " +
                                 firstReply +
                                 "\n"
                                 "time: " +
                                 times[0] +
                                 "\n"
                                 "gasGauge : 80.000000\n"
                                 "V1:3.601 V2:3.602 V3:3.603 V4:3.604\n"
                                 "V5:3.605 V6:3.606 V7:3.607 V8:3.608\n"
                                 "Current: -1.00\n"
                                 "Stack Voltage: 28.836000\n"
                                 "Temps(layer 8 to layer 1): 20 21 22 23 24 25 26 27\n"
                                 "Heatsink temp: 65\n"
                                 "relative Humidity: 55\n"
                                 "balance register:  5\n"
                                 "WARNING: temp alert register:  1\n"
                                 "volt alert register:  0\n"
                                 "Battery Status Register: 8408\n"
                                 "Fan state: On\n"
                                 "Main Fuse: Good\n"
                                 "Safe Operating Area: Good\n"
                                 "Overcurrent: Good\n"
                                 "Undervoltage: Good\n"
                                 "Overvoltage: Good\n"
                                 "Discharge Mode: Off\n"
                                 "Charge Mode: On\n"
                                 "Discharge Transient: Good\n"
                                 "Battery Cold Limit: Good\n"
                                 "Heatsink Hot Limit: Good\n"
                                 "Battery Hot Limit: Good\n"
                                 "Battery Enable: On\n"
                                 "\n"
                                 "\n****reducing charge current to 22.500000\n"
                                 "\n****setting charge current to 22.500000\n\n" +
                                 SLEEP);
    EXPECT_NE(out.find("WARNING: volt alert register: 12\n"), std::string::npos);

    EXPECT_EQ(chargeLog(), times[0] + ",80.00,-1.00,55, 5, 1, 0,8408\n" +  //
                               times[1] + ",100.00,327.67,5, 0, 0,12, 0\n");

    const std::vector<SyslogMessage> logged = syslog();
    const std::vector<std::string> expected{
        "OLM Battery Current & Gas Gauge: -1.00 80.00", "OLM Battery RH: 55",
        "OLM Battery Current & Gas Gauge: 327.67 100.00", "OLM Battery RH:  5"};
    ASSERT_EQ(logged.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(logged[i].priority, 11) << logged[i].raw;  // LOG_USER | LOG_ERR
        EXPECT_EQ(logged[i].tag, "charger") << logged[i].raw;
        EXPECT_EQ(logged[i].message, expected[i]) << logged[i].raw;
    }
    expectOnlyRequestsAfterStart(pack);
}

// Polls whose receive is not exactly 77 bytes: only the count is shown.
struct UnacceptedCase {
    const char* name;
    PackStep step;
    std::string pollText;
};

void PrintTo(const UnacceptedCase& c, std::ostream* os) { *os << c.name; }

class UnacceptedReply : public Sandbox, public ::testing::WithParamInterface<UnacceptedCase> {};

TEST_P(UnacceptedReply, ShowsOnlyTheCountAndCommandsNothing) {
    ScriptedPack pack({GetParam().step});
    RecordingSupply supply;

    Child& charger = startCharger();
    ASSERT_TRUE(charger.waitForStdout(SLEEP, 2));
    charger.stop(SIGKILL);

    const std::string out = stdoutText();
    EXPECT_EQ(polls(out, 1), GetParam().pollText);
    EXPECT_EQ(out.find("time: "), std::string::npos) << out;
    EXPECT_EQ(chargeLog(), "");
    EXPECT_TRUE(syslog().empty());
    EXPECT_EQ(supply.received(), SUPPLY_STARTUP);
    expectOnlyRequestsAfterStart(pack);
}

const std::string REPLY = statusReply({});

INSTANTIATE_TEST_SUITE_P(
    , UnacceptedReply,
    ::testing::Values(UnacceptedCase{"Silent", PackStep::silent(),
                                     POLL_START + "no bytes ready\nstatus is 0\n" + SLEEP},
                      UnacceptedCase{"Short76", PackStep::answer(REPLY.substr(0, 76)),
                                     POLL_START + "select returned 1\nstatus is 76\n" + SLEEP},
                      UnacceptedCase{"Long78", PackStep::answer(REPLY + "X"),
                                     POLL_START + "select returned 1\nstatus is 78\n" + SLEEP}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChargerMonitoring, SilentPackIsPolledAgainAfterEachSleep) {
    ScriptedPack pack;
    RecordingSupply supply;

    Child& charger = startCharger();
    ASSERT_TRUE(charger.waitForStdout(SLEEP, 3));
    charger.stop(SIGKILL);

    const std::string poll = POLL_START + "no bytes ready\nstatus is 0\n" + SLEEP;
    EXPECT_EQ(polls(stdoutText(), 3), poll + "waking up\n" + poll + "waking up\n" + poll);
    EXPECT_EQ(supply.received(), SUPPLY_STARTUP);
    expectOnlyRequestsAfterStart(pack);
}

// A reply whose tail comes long after the rest (here: once the receive has
// ended, far past its quiet gap) is not accepted, and the tail must not be
// read together with the next reply.
TEST_F(ChargerMonitoring, TailOfASplitReplyIsDiscardedBeforeTheNextRequest) {
    StatusFields late;
    late.humidity = 0x11;
    StatusFields next;
    next.humidity = 0x22;
    const std::string split = statusReply(late);
    const std::size_t head = 40;
    ScriptedPack pack({PackStep::answer(split.substr(0, head)), PackStep::answer(statusReply(next))});
    RecordingSupply supply;

    // Slower than usual: the tail has to land within the charger's sleep.
    Child& charger = startCharger({.fakeTimeSpec = "+0 x10"});
    ASSERT_TRUE(charger.waitForStdout("status is 40\n" + SLEEP));
    ASSERT_TRUE(pack.peer().send(split.substr(head)));
    ASSERT_TRUE(charger.waitForStdout(SLEEP, 3));
    charger.stop(SIGKILL);

    const std::string out = stdoutText();
    EXPECT_EQ(polls(out, 1), POLL_START + "select returned 1\nstatus is 40\n" + SLEEP);
    EXPECT_EQ(countOf(out, "status is 77\n"), 1) << out;
    EXPECT_EQ(countOf(stderrText(), "discarded 37 stale bytes from the pack\n"), 1) << stderrText();
    const std::vector<std::string> times = reportTimes(out);
    ASSERT_EQ(times.size(), 1u);
    EXPECT_EQ(chargeLog(), times[0] + ",50.00,20.00,34, 0, 0, 0, 0\n");
    EXPECT_EQ(supply.received(), SUPPLY_STARTUP + currentCommand(45.0));
}

TEST_F(ChargerMonitoring, PackThatClosesTheConnectionIsOpenedAgainAndStillPolled) {
    ScriptedPack pack({PackStep::close()});
    RecordingSupply supply;

    Child& charger = startCharger();
    ASSERT_TRUE(charger.waitForStdout(SLEEP, 3));
    EXPECT_TRUE(charger.running());
    charger.stop(SIGKILL);

    const std::string out = stdoutText();
    EXPECT_EQ(polls(out, 1), POLL_START + "select returned 1\nstatus is 0\n" + SLEEP);
    EXPECT_NE(polls(out, 3).find(SLEEP + "waking up\nsending status request\n"), std::string::npos) << out;
    EXPECT_TRUE(stderrText().starts_with("serial:198:err: recvStr failed with no bytes\n")) << stderrText();
    EXPECT_EQ(countOf(out, "status is 0\n"), countOf(out, SLEEP)) << out;
    // Opened again for the next request, and never started again.
    EXPECT_EQ(pack.peer().connections(), 2);
    expectOnlyRequestsAfterStart(pack);
    EXPECT_EQ(supply.received(), SUPPLY_STARTUP);
}

TEST_F(ChargerMonitoring, StdoutHoldsEveryFinishedPollWhenKilledDuringTheSleep) {
    ScriptedPack pack;
    RecordingSupply supply;

    Child& charger = startCharger();
    // Standard output is a file here: without a flush per poll the poll's
    // lines would still sit in the program's buffer.
    ASSERT_TRUE(charger.waitForStdout(SLEEP));
    charger.stop(SIGKILL);

    EXPECT_EQ(charger.termSignal(), SIGKILL);
    const std::string out = stdoutText();
    EXPECT_TRUE(out.ends_with(SLEEP)) << out;
    EXPECT_EQ(countOf(out, "sending status request\n"), countOf(out, SLEEP)) << out;
}

TEST_F(ChargerMonitoring, UnopenablePackEndpointEndsTheRunWithMinusOne) {
    RecordingSupply supply;

    Child& charger = startCharger();
    ASSERT_TRUE(charger.waitExit());

    EXPECT_EQ(charger.exitCode(), 255);
    EXPECT_EQ(stderrText(),
              "serial:300:open of protocol 'tcp' on server '127.0.0.1' on port '10001' failed\n"
              "unable to open connection to battery:: Connection refused\n");
    EXPECT_EQ(stdoutText(), "");
    EXPECT_EQ(chargeLog(), "");
    // The supply was set up and switched on; with no pack to watch it is
    // switched off again, and nothing follows.
    EXPECT_TRUE(supply.waitForExactly(SUPPLY_STARTUP + "OUT 0\r")) << supply.received();
}

TEST_F(ChargerMonitoring, UncreatableChargeLogEndsTheRunBeforeAnyInstrument) {
    ScriptedPack pack;
    RecordingSupply supply;
    const std::string readOnly = makeReadOnlyDir();

    Child& charger = startCharger({.cwd = readOnly});
    ASSERT_TRUE(charger.waitExit());

    EXPECT_EQ(charger.exitCode(), 255);
    EXPECT_TRUE(std::regex_search(stderrText(), std::regex(R"('\d+olm\.log'.*Read-only file system\n)")))
        << stderrText();
    EXPECT_TRUE(chargeLogFiles(readOnly).empty());
    EXPECT_EQ(supply.peer().connections(), 0);
    EXPECT_EQ(pack.peer().connections(), 0);
}

}  // namespace

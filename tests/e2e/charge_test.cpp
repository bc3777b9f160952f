// The whole staged charge end to end: the real binary against a scripted
// supply on 3002 and a scripted pack on 10001, checked on the exact bytes
// each instrument receives and the stage messages on standard output.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace e2e;

// One poll of the charge: what the pack does, and what the charger must do.
struct Poll {
    std::optional<int> balance;     // an accepted reply with this balance register; none: no reply
    std::optional<double> current;  // the current command that follows, if any
    bool off;                       // the pack is commanded off
    std::vector<std::string> messages;
};

std::string reducing(const char* amperes) { return "****reducing charge current to " + std::string(amperes); }
std::string setting(const char* amperes) { return "****setting charge current to " + std::string(amperes); }
const std::string TURN_OFF = "turning battery off at end of charge";

const std::vector<Poll> CHARGE{
    {0x00, 45.0, false, {setting("45.000000")}},
    {std::nullopt, std::nullopt, false, {}},
    {0x01, 22.5, false, {reducing("22.500000"), setting("22.500000")}},
    {0x00, 22.5, false, {setting("22.500000")}},
    {0x80, 12.5, false, {reducing("12.500000"), setting("12.500000")}},
    {0xFE, 12.5, false, {setting("12.500000")}},
    {std::nullopt, std::nullopt, false, {}},
    {0xFF, 7.5, false, {reducing("7.500000"), setting("7.500000")}},
    {0x7F, 7.5, false, {setting("7.500000")}},
    {0xFF, 7.5, true, {TURN_OFF, setting("7.500000")}},
    {0x00, 7.5, false, {setting("7.500000")}},
    {0xFF, 7.5, true, {TURN_OFF, setting("7.500000")}},
};

// The stage messages of standard output, in order.
std::vector<std::string> stageMessages(const std::string& out) {
    static const std::regex line(
        R"((\*\*\*\*(reducing|setting) charge current to [0-9.]+|turning battery off at end of charge)\n)");
    return capturesOf(out, line);
}

std::string repeat(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

class Charge : public Sandbox {};

TEST_F(Charge, WholeChargeStepsTheCurrentDownAndTurnsThePackOff) {
    std::vector<PackStep> script;
    std::string supplyExpected = SUPPLY_STARTUP;
    std::string packExpected = "@AC\n";
    std::vector<std::string> messages;
    for (const Poll& poll : CHARGE) {
        StatusFields fields;
        if (poll.balance) fields.balance = *poll.balance;
        script.push_back(poll.balance ? PackStep::answer(statusReply(fields)) : PackStep::silent());
        packExpected += poll.off ? "@RQ\n@AF\n" : "@RQ\n";
        if (poll.current) supplyExpected += currentCommand(*poll.current);
        messages.insert(messages.end(), poll.messages.begin(), poll.messages.end());
    }
    // Past the script the pack stops answering: nothing more may reach the supply.
    ScriptedPack pack(script);
    RecordingSupply supply;

    Child& charger = startCharger();
    const int polls = static_cast<int>(CHARGE.size());
    ASSERT_TRUE(pack.waitForRequests(polls + 2));
    ASSERT_TRUE(charger.waitForStdout("going to sleep\n", polls + 2));
    charger.stop(SIGKILL);

    EXPECT_TRUE(supply.waitForExactly(supplyExpected)) << supply.received();
    const std::string packGot = pack.received();
    ASSERT_TRUE(packGot.starts_with(packExpected)) << packGot;
    const std::string rest = packGot.substr(packExpected.size());
    EXPECT_EQ(rest, repeat("@RQ\n", countOf(rest, "@RQ\n")));
    EXPECT_EQ(countOf(packGot, "@AC\n"), 1);

    const std::string out = stdoutText();
    EXPECT_EQ(stageMessages(out), messages);
    // The messages are set off by empty lines, and the report's own empty
    // line ends before them.
    EXPECT_EQ(countOf(out,
                      "Battery Enable: Off\n\n\n****reducing charge current to 22.500000\n"
                      "\n****setting charge current to 22.500000\n\ngoing to sleep\n"),
              1)
        << out;
    EXPECT_EQ(countOf(out,
                      "Battery Enable: Off\n\nturning battery off at end of charge\n"
                      "\n****setting charge current to 7.500000\n\ngoing to sleep\n"),
              2)
        << out;
}

// An endpoint that cannot be opened ends the run with status -1 after the
// port layer's and perror's messages.
// An instrument that notes when each command arrived (real time).
class TimedInstrument {
   public:
    explicit TimedInstrument(std::uint16_t port)
        : peer_(port, [this](testsupport::LoopbackPeer&, const std::string& command) {
              std::lock_guard lock(mutex_);
              arrivals_.push_back({command, std::chrono::steady_clock::now()});
          }) {}
    struct Arrival {
        std::string command;
        std::chrono::steady_clock::time_point at;
    };
    std::vector<Arrival> arrivals() const {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }
    bool waitForCommands(std::size_t count) const {
        return testsupport::waitUntil([&] { return arrivals().size() >= count; }, DEADLINE);
    }

   private:
    mutable std::mutex mutex_;
    std::vector<Arrival> arrivals_;
    testsupport::LoopbackPeer peer_;
};

std::chrono::milliseconds between(const TimedInstrument::Arrival& a, const TimedInstrument::Arrival& b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b.at - a.at);
}

// The start-up's pacing, seen by the instruments. Every command is followed by
// a 10 ms pause before the next goes out (the supply needs it to take one
// command after another), and the pack's start command waits 5 s after the
// supply's output came on. libfaketime stretches or shrinks the pauses, which
// only ever get longer on a busy machine, so lower bounds are safe:
//  - at a tenth of real speed each 10 ms pause takes 100 ms of real time;
//  - at ten times real speed the 5 s wait takes 500 ms.
TEST_F(Charge, StartUpPausesAfterEachCommandAndBeforeStartingThePack) {
    using Arrivals = std::vector<TimedInstrument::Arrival>;
    // Runs the charger at speedUp until the supply has count commands, or
    // the pack its first when count is 0; what each instrument received.
    auto startUp = [this](const char* speedUp, std::size_t count) {
        TimedInstrument supply(SUPPLY_PORT);
        TimedInstrument pack(PACK_PORT);
        Child& charger = startCharger({.fakeTimeSpec = std::string("+0 ") + speedUp});
        EXPECT_TRUE(count > 0 ? supply.waitForCommands(count) : pack.waitForCommands(1));
        charger.stop(SIGKILL);
        return std::pair<Arrivals, Arrivals>{supply.arrivals(), pack.arrivals()};
    };

    const Arrivals commands = startUp("x0.1", 5).first;
    ASSERT_GE(commands.size(), 5u);
    for (std::size_t i = 1; i < 5; ++i) {
        EXPECT_GE(between(commands[i - 1], commands[i]), 60ms)
            << "'" << commands[i - 1].command << "' then '" << commands[i].command << "'";
    }

    const auto [supply, pack] = startUp("x10", 0);
    ASSERT_EQ(supply.size(), 5u);
    ASSERT_EQ(supply.back().command, "OUT 1\r");
    ASSERT_FALSE(pack.empty());
    ASSERT_EQ(pack.front().command, "@AC\n");
    EXPECT_GE(between(supply.back(), pack.front()), 300ms);
}

struct EndpointCase {
    const char* name;
    bool supplyListens;
    bool packListens;
    std::string stderrText;
    std::string supplyGets;
};

void PrintTo(const EndpointCase& c, std::ostream* os) { *os << c.name; }

class UnopenableEndpoint : public Sandbox, public ::testing::WithParamInterface<EndpointCase> {};

TEST_P(UnopenableEndpoint, EndsTheRunWithMinusOne) {
    const EndpointCase& c = GetParam();
    std::optional<RecordingSupply> supply;
    std::optional<ScriptedPack> pack;
    if (c.supplyListens) supply.emplace();
    if (c.packListens) pack.emplace();

    Child& charger = startCharger();
    ASSERT_TRUE(charger.waitExit());

    EXPECT_EQ(charger.exitCode(), 255);
    EXPECT_EQ(stderrText(), c.stderrText);
    // The charge log is created first and gets no record.
    EXPECT_EQ(chargeLog(), "");
    if (supply) {
        EXPECT_TRUE(supply->waitForExactly(c.supplyGets)) << supply->received();
    }
    if (pack) {
        EXPECT_EQ(pack->peer().connections(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    , UnopenableEndpoint,
    ::testing::Values(
        EndpointCase{"Supply", false, true,
                     "serial:300:open of protocol 'tcp' on server '127.0.0.1' on port '3002' failed\n"
                     "unable to open connection to xantrex:: Connection refused\n",
                     ""},
        // The supply was already switched on: it is switched off again, as
        // nothing would watch the pack.
        EndpointCase{"Pack", true, false,
                     "serial:300:open of protocol 'tcp' on server '127.0.0.1' on port '10001' failed\n"
                     "unable to open connection to battery:: Connection refused\n",
                     SUPPLY_STARTUP + "OUT 0\r"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

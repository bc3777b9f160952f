// The whole rig: the charger talks TCP to a real ser2net, which bridges to
// pseudo-terminals where benchsim plays the supply and the pack at the pace
// of a 9600 bit/s line, with the settings of the shipped example
// configuration (deploy/ser2net.yaml).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace e2e;

// Every receive count the charger printed, in order.
std::vector<int> receiveCounts(const std::string& out) {
    static const std::regex line(R"(status is (-?\d+)\n)");
    std::vector<int> counts;
    for (const std::string& match : capturesOf(out, line)) counts.push_back(std::stoi(match));
    return counts;
}

// Sandbox::startRig starts benchsim and ser2net with the example settings.
class Rig : public Sandbox {
   protected:
    // The charger's 5-second sleep and 2-second receive wait shrink only
    // four times: a reply takes about 110 ms on the line and in ser2net.
    Child& startSlowerCharger() {
        SpawnOptions options;
        options.fakeTimeSpec = "+0 x4";
        return startCharger(options);
    }
};

TEST_F(Rig, AWholeChargeThroughSer2netWithTheExampleSettings) {
    startRig();
    if (HasFatalFailure()) return;
    Child& charger = startSlowerCharger();
    ASSERT_TRUE(charger.waitForStdout("turning battery off at end of charge", 1, 90000ms))
        << charger.stdoutText();
    charger.stop();

    const std::string out = charger.stdoutText();
    const std::vector<int> counts = receiveCounts(out);
    ASSERT_GE(counts.size(), 5u);
    for (std::size_t poll = 0; poll < counts.size(); ++poll) {
        EXPECT_EQ(counts[poll], 77) << "poll " << poll + 1 << ": ser2net forwarded a reply in pieces";
    }
    for (const char* step : {"reducing charge current to 22.500000", "reducing charge current to 12.500000",
                             "reducing charge current to 7.500000"}) {
        EXPECT_NE(out.find(step), std::string::npos) << step;
    }
    EXPECT_EQ(countOf(chargeLog(), "\n"), static_cast<int>(counts.size()));
    ASSERT_TRUE(benchsim()->waitForStderr("pack: @AF, battery off"));
    // The supply's commands crossed the bridge too.
    EXPECT_NE(benchsim()->stderrText().find("supply: OUT 1, output on"), std::string::npos);
}

// The control: with ser2net's default 64-byte buffer the reply leaves
// ser2net in two pieces, 64 bytes and 13 a few milliseconds later. A charger
// that reads late may still find both (so may one without the chardelay
// settings alone, which therefore makes no control), but not at every poll.
TEST_F(Rig, WithTheDefaultBufferRepliesArriveInPieces) {
    startRig("dev-to-net-bufsize");
    if (HasFatalFailure()) return;
    Child& charger = startSlowerCharger();
    ASSERT_TRUE(charger.waitForStdout("going to sleep", 4)) << charger.stdoutText();
    charger.stop();
    const std::vector<int> counts = receiveCounts(charger.stdoutText());
    ASSERT_GE(counts.size(), 4u);
    EXPECT_LT(std::count(counts.begin(), counts.end(), 77), static_cast<long>(counts.size()));
    EXPECT_NE(std::find(counts.begin(), counts.end(), 64), counts.end());
}

}  // namespace

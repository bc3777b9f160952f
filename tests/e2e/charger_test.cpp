// The charger's monitoring spine end to end: the real binary against a
// scripted pack and a supply that records.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

using namespace e2e;

class ChargerMonitoring : public Sandbox {};

TEST_F(ChargerMonitoring, SilentPackGivesOnlyPollLines) {
    ScriptedPack pack;
    RecordingSupply supply;
    Child& charger = startCharger();
    ASSERT_TRUE(charger.waitForStdout("going to sleep", 2));
    charger.stop();
    const std::string poll =
        "sending status request\nwaiting for reply\ncalling select\nno bytes ready\nstatus is 0\ngoing to sleep\n";
    EXPECT_TRUE(stdoutText().starts_with(poll + "waking up\n" + poll)) << stdoutText();
    EXPECT_EQ(chargeLog(), "");
    EXPECT_TRUE(syslog().empty());
    EXPECT_EQ(supply.received(), SUPPLY_STARTUP);
}

}  // namespace

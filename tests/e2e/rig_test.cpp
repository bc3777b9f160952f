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

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string firstExisting(std::initializer_list<const char*> paths) {
    for (const char* path : paths) {
        if (access(path, X_OK) == 0) return path;
    }
    return {};
}

// Every receive count the charger printed, in order.
std::vector<int> receiveCounts(const std::string& out) {
    static const std::regex line(R"(status is (-?\d+)\n)");
    std::vector<int> counts;
    for (const std::string& match : capturesOf(out, line)) counts.push_back(std::stoi(match));
    return counts;
}

class Rig : public Sandbox {
   protected:
    // Starts benchsim on two pseudo-terminals and ser2net with the example
    // configuration pointed at them, less the lines that match drop.
    void startRig(const std::string& drop = {}) {
        const std::string ser2net = firstExisting({"/usr/sbin/ser2net", "/usr/bin/ser2net"});
        const std::string ip = firstExisting({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"});
        ASSERT_FALSE(ser2net.empty()) << "ser2net is not installed (scripts/deps.sh installs it)";
        ASSERT_FALSE(ip.empty()) << "ip is not installed (iproute2)";

        // ser2net resolves its accepters with AI_ADDRCONFIG, which finds
        // nothing while the namespace has no address but 127.0.0.1.
        Child& address = spawn({ip, {"addr", "add", "127.0.0.2/8", "dev", "lo"}, {}, "ip", false});
        ASSERT_TRUE(address.waitExit());
        ASSERT_EQ(address.exitCode(), 0) << address.stderrText();

        SpawnOptions bench{BENCHSIM_BIN, {"--supply-pty", "--pack-pty", "--pace", "9600", "--step", "600"}};
        bench.fakeTime = false;
        benchsim_ = &spawn(bench);
        ASSERT_TRUE(benchsim_->waitForStdout("\n", 2)) << benchsim_->stderrText();
        std::istringstream lines(benchsim_->stdoutText());
        std::string name, device, supplyDevice, packDevice;
        while (lines >> name >> device) (name == "pack" ? packDevice : supplyDevice) = device;

        std::string config;
        std::istringstream example(readText(std::string(SOURCE_DIR) + "/deploy/ser2net.yaml"));
        for (std::string line; std::getline(example, line);) {
            if (!drop.empty() && line.find(drop) != std::string::npos) continue;
            for (auto [placeholder, path] :
                 {std::pair{"/dev/ttyUSB0", supplyDevice}, {"/dev/ttyUSB1", packDevice}}) {
                if (auto at = line.find(placeholder); at != std::string::npos) {
                    line.replace(at, std::string(placeholder).size(), path);
                }
            }
            config += line + "\n";
        }
        ASSERT_NE(config.find(supplyDevice), std::string::npos) << config;
        ASSERT_NE(config.find(packDevice), std::string::npos) << config;
        const std::string configPath = dir() + "/ser2net.yaml";
        std::ofstream(configPath) << config;

        ser2net_ = &spawn({ser2net, {"-n", "-d", "-c", configPath}, {}, "ser2net", false});
        ASSERT_TRUE(testsupport::waitUntil([] { return listening(SUPPLY_PORT) && listening(PACK_PORT); }))
            << ser2net_->stderrText() << ser2net_->stdoutText();
    }

    // The charger's 5-second sleep and 2-second receive wait shrink only
    // four times: a reply takes about 110 ms on the line and in ser2net.
    Child& startSlowerCharger() {
        SpawnOptions options;
        options.fakeTimeSpec = "+0 x4";
        return startCharger(options);
    }

    Child* benchsim_ = nullptr;
    Child* ser2net_ = nullptr;
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
    ASSERT_TRUE(benchsim_->waitForStderr("pack: @AF, battery off"));
    // The supply's commands crossed the bridge too.
    EXPECT_NE(benchsim_->stderrText().find("supply: OUT 1, output on"), std::string::npos);
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

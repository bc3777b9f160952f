// The whole rig: the charger talks TCP to a real ser2net, which bridges to
// pseudo-terminals where benchsim plays the supply and the pack at the pace
// of a 9600 bit/s line, with the settings of the shipped example
// configuration (deploy/ser2net.yaml): its line settings, and who it lets
// onto a line and when.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
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

// The example's stand-in for the charger's host, the one address that
// ser2net lets in (remaddr); the charger here runs on 127.0.0.1.
constexpr const char* EXAMPLE_CHARGER_HOST = "192.0.2.20";

// A client of the device server: a TCP connection from source (an address of
// the namespace's loopback) to 127.0.0.1:port; -1 when it did not connect.
int connectFrom(const char* source, std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Everything the server sends until it closes the connection; nullopt when
// it has not closed it by the deadline.
std::optional<std::string> readUntilClosed(int fd, std::chrono::milliseconds deadline = DEADLINE) {
    std::string text;
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[256];
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

// A line's edit of the example configuration: every match of pattern is
// replaced; a pattern that matches nothing fails the test.
struct ConfigEdit {
    std::string pattern;
    std::string replacement;
};

class Rig : public Sandbox {
   protected:
    // Starts benchsim on two pseudo-terminals and ser2net with the example
    // configuration pointed at them and at the charger on 127.0.0.1, less
    // the lines that match drop, with edits applied.
    void startRig(const std::string& drop = {}, const std::vector<ConfigEdit>& edits = {}) {
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
            for (auto [placeholder, path] : {std::pair{"/dev/ttyUSB0", supplyDevice},
                                             {"/dev/ttyUSB1", packDevice},
                                             {EXAMPLE_CHARGER_HOST, std::string("127.0.0.1")}}) {
                if (auto at = line.find(placeholder); at != std::string::npos) {
                    line.replace(at, std::string(placeholder).size(), path);
                }
            }
            config += line + "\n";
        }
        ASSERT_NE(config.find(supplyDevice), std::string::npos) << config;
        ASSERT_NE(config.find(packDevice), std::string::npos) << config;
        for (const ConfigEdit& edit : edits) {
            const std::regex pattern(edit.pattern);
            ASSERT_TRUE(std::regex_search(config, pattern)) << edit.pattern << " not in\n" << config;
            config = std::regex_replace(config, pattern, edit.replacement);
        }
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

// One client per line: a second one (supplyctl during a charge, say) is
// turned away while the charger holds both lines, whatever it sends, and the
// charger's later current steps still reach the supply. Once the charger has
// stopped, the stop command that follows it (the unit's supplyctl off) gets
// the supply's line at once.
TEST_F(Rig, ASecondClientIsTurnedAwayWhileTheChargerRuns) {
    startRig();
    if (HasFatalFailure()) return;
    Child& charger = startSlowerCharger();
    ASSERT_TRUE(charger.waitForStdout("status is 77", 2)) << charger.stdoutText();

    for (auto [port, command] : {std::pair{SUPPLY_PORT, "OUT 0\r"}, {PACK_PORT, "@AF\n"}}) {
        const int fd = connectFrom("127.0.0.1", port);
        ASSERT_GE(fd, 0) << port;
        EXPECT_GT(write(fd, command, strlen(command)), 0);
        EXPECT_EQ(readUntilClosed(fd), "Port already in use\r\n") << port;
        close(fd);
    }
    // The charger still polls the pack, and its next current step (after
    // the next reply it accepts) still reaches the supply.
    const int requests = countOf(benchsim_->stderrText(), "pack: @RQ");
    const int steps = countOf(benchsim_->stderrText(), "current setpoint");
    ASSERT_TRUE(benchsim_->waitForStderr("pack: @RQ", requests + 2)) << benchsim_->stderrText();
    ASSERT_TRUE(benchsim_->waitForStderr("current setpoint", steps + 1, 30000ms)) << benchsim_->stderrText();
    EXPECT_EQ(countOf(benchsim_->stderrText(), "supply: OUT 0"), 1) << "only the charger's own at start-up";
    EXPECT_EQ(countOf(benchsim_->stderrText(), "pack: @AF"), 0);

    charger.stop();
    Child& off = spawn({SUPPLYCTL_BIN, {"tcp:127.0.0.1:3002", "off"}, {}, "supplyctl", false});
    ASSERT_TRUE(off.waitExit());
    EXPECT_EQ(off.exitCode(), 0) << off.stderrText();
    EXPECT_TRUE(benchsim_->waitForStderr("supply: OUT 0", 2)) << benchsim_->stderrText();
}

// Only the charger's host gets onto a line (remaddr): a client from another
// address is closed, and what it sent never reaches the instrument, while
// the charger's host, after it, is let through.
TEST_F(Rig, AClientFromAnotherAddressIsRefused) {
    startRig();
    if (HasFatalFailure()) return;
    struct Case {
        std::uint16_t port;
        const char* intruder;  // what the other host sends
        const char* own;       // then the charger's host
        const char* ownSeen;   // benchsim's word for it
    };
    for (const Case& row : {Case{SUPPLY_PORT, "OUT 1\r", "OUT 0\r", "supply: OUT 0"},
                            Case{PACK_PORT, "@AC\n", "@AF\n", "pack: @AF"}}) {
        SCOPED_TRACE(row.port);
        const int other = connectFrom("127.0.0.2", row.port);
        ASSERT_GE(other, 0);
        EXPECT_GT(write(other, row.intruder, strlen(row.intruder)), 0);
        const std::optional<std::string> refusal = readUntilClosed(other);
        close(other);
        ASSERT_TRUE(refusal.has_value()) << "the connection from 127.0.0.2 stayed open";
        EXPECT_NE(refusal->find("denied"), std::string::npos) << *refusal;

        const int own = connectFrom("127.0.0.1", row.port);
        ASSERT_GE(own, 0);
        EXPECT_GT(write(own, row.own, strlen(row.own)), 0);
        // One line, in order: the other host's command would be logged first.
        ASSERT_TRUE(benchsim_->waitForStderr(row.ownSeen)) << benchsim_->stderrText();
        close(own);
    }
    EXPECT_EQ(benchsim_->stderrText().find("OUT 1"), std::string::npos) << benchsim_->stderrText();
    EXPECT_EQ(benchsim_->stderrText().find("@AC"), std::string::npos) << benchsim_->stderrText();
}

// A charger whose host died leaves its connections open; ser2net drops them
// after its idle time-out, and a charger started again gets both lines. The
// example's time-outs stay well above the charger's 5 to 7 s between
// requests; here they are cut to 2 s.
TEST_F(Rig, AStaleConnectionExpiresAndARestartedChargerGetsIn) {
    const std::string example = readText(std::string(SOURCE_DIR) + "/deploy/ser2net.yaml");
    const std::vector<std::string> timeouts = capturesOf(example, std::regex(R"(\n  timeout: (\d+)\n)"));
    ASSERT_EQ(timeouts.size(), 2u) << "one time-out per connection";
    for (const std::string& seconds : timeouts) EXPECT_GE(std::stoi(seconds), 30);

    startRig({}, {{R"(timeout: \d+)", "timeout: 2"}});
    if (HasFatalFailure()) return;
    const int supply = connectFrom("127.0.0.1", SUPPLY_PORT);
    const int pack = connectFrom("127.0.0.1", PACK_PORT);
    ASSERT_GE(supply, 0);
    ASSERT_GE(pack, 0);
    EXPECT_TRUE(readUntilClosed(supply).has_value()) << "the idle supply connection was not dropped";
    EXPECT_TRUE(readUntilClosed(pack).has_value()) << "the idle pack connection was not dropped";
    close(supply);
    close(pack);

    Child& charger = startSlowerCharger();
    ASSERT_TRUE(charger.waitForStdout("status is 77", 2)) << charger.stdoutText();
    EXPECT_TRUE(benchsim_->waitForStderr("current setpoint", 2)) << benchsim_->stderrText();
}

}  // namespace

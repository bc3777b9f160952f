// The real charger through a whole charge against benchsim on every kind of
// channel it may meet: plain TCP, TCP with each reply in two pieces, its own
// serial lines at the pace of 9600 bit/s, and a real ser2net at its default
// settings (the shipped deploy/ser2net.yaml) in front of such lines; and who
// that example lets onto a line, and when.
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
#include "serial/serial.h"
#include "util/settings.h"

namespace {

using namespace e2e;

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every receive count the charger printed, in order.
std::vector<int> receiveCounts(const std::string& out) {
    static const std::regex line(R"(status is (-?\d+)\n)");
    std::vector<int> counts;
    for (const std::string& match : capturesOf(out, line)) counts.push_back(std::stoi(match));
    return counts;
}

// The device paths the serial build of the charger opens.
constexpr const char* SUPPLY_LINE = "/dev/ttyUSB0";
constexpr const char* PACK_LINE = "/dev/ttyUSB1";

// ser2net at its defaults holds bytes from the line at most this long before
// it forwards them.
constexpr double SER2NET_FORWARD_DELAY_MS = 20.0;

// One character of a 9600 bit/s 8N1 line.
constexpr double CHARACTER_MS_9600 = 10.0 / 9600 * 1000;

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

// The charger unit's stop command (deploy/charger.service.in), with the
// supplyctl under test and the supply on its fixed port.
std::vector<std::string> unitStopCommand() {
    std::string unit = readText(std::string(SOURCE_DIR) + "/deploy/charger.service.in");
    const std::vector<std::string> found = capturesOf(unit, std::regex("\nExecStopPost=([^\n]*)"));
    EXPECT_EQ(found.size(), 1u);
    std::string command = found.empty() ? std::string() : found.front();
    for (auto [placeholder, value] : {std::pair{"@CHARGER_INSTALL_BINDIR@/supplyctl", SUPPLYCTL_BIN},
                                      {"@CHARGER_SUPPLY@", "tcp:127.0.0.1:3002"}}) {
        for (auto at = command.find(placeholder); at != std::string::npos; at = command.find(placeholder)) {
            command.replace(at, std::string(placeholder).size(), value);
        }
    }
    EXPECT_EQ(command.find('@'), std::string::npos) << command;
    return commandLineWords(command);
}

class Rig : public Sandbox {
   protected:
    // Points the serial build's device paths at the lines given.
    static void linkLines(const BenchLines& lines) {
        for (auto [link, target] : {std::pair{SUPPLY_LINE, lines.supply}, {PACK_LINE, lines.pack}}) {
            unlink(link);
            ASSERT_EQ(symlink(target.c_str(), link), 0) << link << " -> " << target;
        }
    }

    // The charger's clock runs 1.5 times fast, which keeps its quiet gap
    // three times ser2net's longest pause inside a reply (as in
    // AWholeChargeOnEveryChannel).
    Child& startRigCharger() {
        SpawnOptions options;
        options.fakeTimeSpec = "+0 x1.5";
        return startCharger(options);
    }
};

TEST_F(Rig, AWholeChargeOnEveryChannel) {
    enum class Via { Tcp, SerialLines, Ser2net };
    struct Channel {
        const char* name;
        std::vector<std::string> benchArgs;
        Via via;
        // The charger's clock runs this many times fast: libfaketime shrinks
        // its quiet gap too, which must stay three times the longest pause
        // inside a reply that the channel makes in real time, with room for
        // a busy machine to hold benchsim up a while.
        double speedUp;
        double longestPauseMs;
        bool xoff;  // the pack answers its start command with an XOFF byte
    };
    const Channel channels[] = {
        {"tcp", {}, Via::Tcp, 20, 0, false},
        {"tcp, each reply in two pieces 5 ms apart", {"--pack-split", "5"}, Via::Tcp, 2, 5, false},
        {"serial lines at 9600 bit/s",
         {"--supply-pty", "--pack-pty", "--pace", "9600", "--pack-xoff"},
         Via::SerialLines,
         2,
         CHARACTER_MS_9600,
         true},
        {"ser2net at its defaults, lines at 9600 bit/s",
         {"--supply-pty", "--pack-pty", "--pace", "9600"},
         Via::Ser2net,
         1.5,
         SER2NET_FORWARD_DELAY_MS,
         false},
    };
    int row = 0;
    for (const Channel& c : channels) {
        SCOPED_TRACE(c.name);
        ++row;
        const std::string tag = "row" + std::to_string(row);
        ASSERT_GE(RECV_QUIET_GAP_MS / c.speedUp, 3 * c.longestPauseMs) << "too fast for this channel";

        // Each status request moves the pack 20 simulated minutes on: a
        // whole charge in a few polls.
        std::vector<std::string> args{"--step", "1200"};
        args.insert(args.end(), c.benchArgs.begin(), c.benchArgs.end());
        const BenchLines lines = startBench(args, "benchsim-" + tag);
        if (c.via == Via::Tcp) {
            ASSERT_TRUE(
                testsupport::waitUntil([] { return listening(SUPPLY_PORT) && listening(PACK_PORT); }));
        } else if (c.via == Via::SerialLines) {
            linkLines(lines);
        } else {
            startSer2net(lines, "ser2net-" + tag);
        }
        if (HasFatalFailure()) return;

        SpawnOptions options;
        if (c.via == Via::SerialLines) options.program = CHARGER_SERIAL_BIN;
        options.name = "charger-" + tag;
        std::ostringstream speed;
        speed << "+0 x" << c.speedUp;
        options.fakeTimeSpec = speed.str();
        Child& charger = startCharger(options);
        EXPECT_TRUE(charger.waitForStdout("turning battery off at end of charge", 1, 120000ms))
            << charger.stdoutText() << charger.stderrText();
        charger.stop();
        benchsim()->stop();
        if (ser2net() != nullptr) stopSer2net();

        const std::string out = charger.stdoutText();
        std::size_t at = 0;
        for (const char* step :
             {"reducing charge current to 22.500000", "reducing charge current to 12.500000",
              "reducing charge current to 7.500000", "turning battery off at end of charge"}) {
            const std::size_t next = out.find(step, at);
            EXPECT_NE(next, std::string::npos) << step << " missing, or out of order";
            if (next != std::string::npos) at = next;
        }
        const std::vector<int> counts = receiveCounts(out);
        EXPECT_GE(counts.size(), 4u);
        for (std::size_t poll = 0; poll < counts.size(); ++poll) {
            EXPECT_EQ(counts[poll], 77) << "poll " << poll + 1;
        }
        const std::string bench = benchsim()->stderrText();
        EXPECT_NE(bench.find("supply: OUT 1, output on"), std::string::npos);
        EXPECT_NE(bench.find("pack: @AF, battery off"), std::string::npos);

        // One record per reply, the balance register only gaining bits and
        // ending full.
        const std::string logName = dir() + "/" + tag + ".log";
        const std::vector<std::string> logs = chargeLogFiles();
        ASSERT_EQ(logs.size(), 1u);
        ASSERT_EQ(rename((dir() + "/" + logs[0]).c_str(), logName.c_str()), 0);
        std::istringstream log(readText(logName));
        int records = 0;
        int previous = 0;
        for (std::string record; std::getline(log, record);) {
            ++records;
            std::vector<std::string> fields;
            std::istringstream split(record);
            for (std::string field; std::getline(split, field, ',');) fields.push_back(field);
            ASSERT_EQ(fields.size(), 8u) << record;
            const int balance = std::stoi(fields[4], nullptr, 16);
            EXPECT_EQ(balance & previous, previous) << record;
            previous = balance;
        }
        EXPECT_EQ(records, static_cast<int>(counts.size()));
        EXPECT_EQ(previous, 0xFF);

        // The XOFF stopped nothing: it was thrown away as a stale byte.
        if (c.xoff) {
            EXPECT_NE(bench.find("pack: sent XOFF"), std::string::npos);
            EXPECT_NE(charger.stderrText().find("discarded 1 stale bytes from the pack\n"), std::string::npos)
                << charger.stderrText();
        }
    }
}

// The premise of the ser2net row: at its defaults ser2net hands each reply to
// the network in pieces (64 bytes, then 13 about 15 ms later). A client that
// takes each read for a reply sees them; the port layer reads every reply
// whole.
TEST_F(Rig, RepliesThatLeaveSer2netInPiecesAreReadWhole) {
    const BenchLines lines =
        startBench({"--supply-pty", "--pack-pty", "--pace", "9600", "--step", "60"}, "benchsim");
    startSer2net(lines, "ser2net");
    if (HasFatalFailure()) return;

    constexpr int REQUESTS = 4;
    int mostPieces = 0;
    {
        int sd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(PACK_PORT);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(sd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        for (int request = 0; request < REQUESTS; ++request) {
            ASSERT_EQ(send(sd, "@RQ\n", 4, MSG_NOSIGNAL), 4);
            std::string reply;
            int pieces = 0;
            while (reply.size() < 77) {
                pollfd ready{sd, POLLIN, 0};
                ASSERT_EQ(poll(&ready, 1, 5000), 1) << "after " << reply.size() << " bytes";
                char buffer[128];
                const ssize_t got = read(sd, buffer, sizeof buffer);
                ASSERT_GT(got, 0);
                reply.append(buffer, static_cast<std::size_t>(got));
                ++pieces;
            }
            EXPECT_EQ(reply.size(), 77u);
            mostPieces = std::max(mostPieces, pieces);
        }
        close(sd);
    }
    EXPECT_GE(mostPieces, 2) << "ser2net forwarded every reply whole";

    QUIET_PORT_PROGRESS = 1;
    int fd = 0;
    ASSERT_GT(openPort(("tcp:127.0.0.1:" + std::to_string(PACK_PORT)).c_str(), &fd, 9600, 8, 1, "none"), 0);
    for (int request = 0; request < REQUESTS; ++request) {
        ASSERT_EQ(sendStr(fd, "@RQ\n"), 0);
        char reply[80];
        EXPECT_EQ(recvStr(fd, reply, sizeof reply), 77) << "request " << request + 1;
    }
    closePort(fd);
    QUIET_PORT_PROGRESS = 0;
}

// One client per line: a second one (supplyctl during a charge, say) is
// turned away while the charger holds both lines, whatever it sends, and the
// charger's later current steps still reach the supply. Once the charger has
// stopped, the unit's stop command that follows it gets the supply's line,
// whether ser2net has finished closing the charger's connection or not.
TEST_F(Rig, ASecondClientIsTurnedAwayWhileTheChargerRuns) {
    startRig();
    if (HasFatalFailure()) return;
    Child& charger = startRigCharger();
    ASSERT_TRUE(charger.waitForStdout("status is 77", 1, 30000ms)) << charger.stdoutText();

    for (auto [port, command] : {std::pair{SUPPLY_PORT, "OUT 0\r"}, {PACK_PORT, "@AF\n"}}) {
        const int fd = connectFrom("127.0.0.1", port);
        ASSERT_GE(fd, 0) << port;
        EXPECT_GT(write(fd, command, strlen(command)), 0);
        EXPECT_EQ(readUntilClosed(fd), "Port already in use\r\n") << port;
        close(fd);
    }
    // The charger's next current step (after the next reply it accepts)
    // still reaches the supply.
    const int steps = countOf(benchsim()->stderrText(), "supply: ISET");
    ASSERT_TRUE(benchsim()->waitForStderr("supply: ISET", steps + 1, 30000ms)) << benchsim()->stderrText();
    EXPECT_EQ(countOf(benchsim()->stderrText(), "supply: OUT 0"), 1) << "only the charger's own at start-up";
    EXPECT_EQ(countOf(benchsim()->stderrText(), "pack: @AF"), 0);

    // The charger switches the supply off itself on SIGTERM; the stop
    // command follows it at once.
    charger.stop();
    const int offs = countOf(benchsim()->stderrText(), "supply: OUT 0");
    const std::vector<std::string> stop = unitStopCommand();
    ASSERT_FALSE(stop.empty());
    Child& off = spawn({stop.front(), {stop.begin() + 1, stop.end()}, {}, "stop-command", false});
    ASSERT_TRUE(off.waitExit());
    EXPECT_EQ(off.exitCode(), 0) << off.stderrText();
    EXPECT_TRUE(benchsim()->waitForStderr("supply: OUT 0", offs + 1)) << benchsim()->stderrText();
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
        ASSERT_TRUE(benchsim()->waitForStderr(row.ownSeen)) << benchsim()->stderrText();
        close(own);
    }
    EXPECT_EQ(benchsim()->stderrText().find("OUT 1"), std::string::npos) << benchsim()->stderrText();
    EXPECT_EQ(benchsim()->stderrText().find("@AC"), std::string::npos) << benchsim()->stderrText();
}

// A charger whose host died leaves its connections open; ser2net drops them
// after its idle time-out, and a charger started again gets both lines. The
// example's time-outs stay well above the charger's 5 to 7 s between
// requests; here they are cut to 6 s, still above the 3.5 s that those take
// on the charger's fast clock.
TEST_F(Rig, AStaleConnectionExpiresAndARestartedChargerGetsIn) {
    const std::string example = readText(std::string(SOURCE_DIR) + "/deploy/ser2net.yaml");
    const std::vector<std::string> timeouts = capturesOf(example, std::regex(R"(\n  timeout: (\d+)\n)"));
    ASSERT_EQ(timeouts.size(), 2u) << "one time-out per connection";
    for (const std::string& seconds : timeouts) EXPECT_GE(std::stoi(seconds), 30);

    startRig({{R"(timeout: \d+)", "timeout: 6"}});
    if (HasFatalFailure()) return;
    const int supply = connectFrom("127.0.0.1", SUPPLY_PORT);
    const int pack = connectFrom("127.0.0.1", PACK_PORT);
    ASSERT_GE(supply, 0);
    ASSERT_GE(pack, 0);
    EXPECT_TRUE(readUntilClosed(supply, 20000ms).has_value()) << "the idle supply connection was not dropped";
    EXPECT_TRUE(readUntilClosed(pack, 20000ms).has_value()) << "the idle pack connection was not dropped";
    close(supply);
    close(pack);

    Child& charger = startRigCharger();
    ASSERT_TRUE(charger.waitForStdout("status is 77", 2, 30000ms)) << charger.stdoutText();
    EXPECT_TRUE(benchsim()->waitForStderr("supply: ISET", 3)) << benchsim()->stderrText();
}

}  // namespace

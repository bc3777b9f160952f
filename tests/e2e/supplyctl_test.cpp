// supplyctl run as a real process against a scripted supply on loopback, or
// on a pseudo-terminal standing in for the supply's serial line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "peer.h"
#include "serial/serial.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using e2e::countOf;
using testsupport::LoopbackPeer;
using testsupport::PtyPair;
using testsupport::waitUntil;

constexpr auto DEADLINE = 10000ms;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// One run of supplyctl, its standard output and error collected in files.
class SupplyctlRun {
   public:
    explicit SupplyctlRun(const std::vector<std::string>& args) {
        char dir[] = "/tmp/supplyctl-XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, (dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&files, 2, (dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        std::vector<std::string> all{SUPPLYCTL_BIN};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, SUPPLYCTL_BIN, &files, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&files);
    }
    ~SupplyctlRun() {
        if (!exited()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
        unlink((dir_ + "/out").c_str());
        unlink((dir_ + "/err").c_str());
        rmdir(dir_.c_str());
    }
    SupplyctlRun(const SupplyctlRun&) = delete;
    SupplyctlRun& operator=(const SupplyctlRun&) = delete;

    // Waits for the process to end; its exit code, or -1 when it did not
    // end by exit in time.
    int exitCode(std::chrono::milliseconds deadline = DEADLINE) {
        waitUntil([this] { return exited(); }, deadline);
        return exited() && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    void signal(int sig) { kill(pid_, sig); }
    std::string out() const { return readFile(dir_ + "/out"); }
    std::string err() const { return readFile(dir_ + "/err"); }

   private:
    bool exited() {
        if (done_) return true;
        done_ = waitpid(pid_, &status_, WNOHANG) == pid_;
        return done_;
    }

    std::string dir_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool done_ = false;
};

// A scripted supply: answers each query from its table, records the rest.
LoopbackPeer::Responder answering(std::map<std::string, std::string> answers) {
    return [answers](LoopbackPeer& peer, const std::string& command) {
        auto found = answers.find(command);
        if (found != answers.end()) peer.send(found->second);
    };
}

const std::map<std::string, std::string> FULL_ANSWERS = {
    {"IOUT?\r", "IOUT 12.5000\r"}, {"VOUT?\r", "VOUT 35.9000\r"}, {"ISET?\r", "ISET 45.0000\r"},
    {"VSET?\r", "VSET 35.9000\r"}, {"OUT?\r", "OUT 1\r"},         {"ERR?\r", "ERR 0\r"},
    {"ASTS?\r", "ASTS 4\r"},       {"STS?\r", "STS 0\r"},         {"FAULT?\r", "FAULT 2\r"},
};

const std::string WATCH_HEADER = "time (s since 1970),IOUT (A),VOUT (V)\n";

const char ALL_QUERIES[] = "IOUT?\rVOUT?\rISET?\rVSET?\rOUT?\rERR?\rASTS?\rSTS?\rFAULT?\r";

// Everything the supply received from runs that have ended. The peer takes
// one connection at a time, so a marker sent on a connection of our own
// arrives after every byte of earlier connections.
std::string receivedAfterRuns(LoopbackPeer& peer) {
    const std::string marker = "#END#\r";
    int fd = 0;
    EXPECT_GT(openPort(peer.endpoint().c_str(), &fd, 9600, 8, 1, "none"), 0);
    EXPECT_EQ(sendStr(fd, marker.c_str()), 0);
    EXPECT_TRUE(peer.waitForReceived([&](const std::string& bytes) { return bytes.ends_with(marker); }));
    closePort(fd);
    std::string bytes = peer.received();
    return bytes.substr(0, bytes.size() - marker.size());
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// ---------------------------------------------------------------------------

struct CommandCase {
    std::vector<std::string> args;  // after the endpoint
    int exitCode;
    const char* sent;
    const char* err;
};

TEST(Supplyctl, SendsEachCommandThroughTheDriverAndRefusesOutOfRangeValues) {
    const CommandCase cases[] = {
        {{"volts", "35.9"}, 0, "VSET 35.9000V\r", ""},
        {{"volts", "1e1"}, 0, "VSET 10.0000V\r", ""},
        {{"current", "22.5"}, 0, "ISET 22.5000A\r", ""},
        {{"current", "0"}, 0, "ISET 0.0000A\r", ""},
        {{"ovp", "45"}, 0, "OVSET 45.0000V\r", ""},
        {{"vmax", "40.25"}, 0, "VMAX 40.2500V\r", ""},
        {{"imax", "60"}, 0, "IMAX 60.0000A\r", ""},
        {{"on"}, 0, "OUT 1\r", ""},
        {{"off"}, 0, "OUT 0\r", ""},
        {{"clear"}, 0, "CLR\r", ""},
        {{"reset"}, 0, "RST\r", ""},
        {{"trigger"}, 0, "TRG\r", ""},
        {{"volts", "44.9999"}, 0, "VSET 44.9999V\r", ""},
        // Refused by supplyctl before the driver: the value, the limit, the unit.
        {{"volts", "45"},
         2,
         "",
         "supplyctl: volts 45 V refused: 45 V is at or above the limit of 45 V (it must stay below it)\n"},
        {{"volts", "-0.5"},
         2,
         "",
         "supplyctl: volts -0.5 V refused: -0.5 V is below the lower limit of 0 V\n"},
        {{"ovp", "45.001"}, 2, "", "supplyctl: ovp 45.001 V refused: 45.001 V is above the limit of 45 V\n"},
        {{"vmax", "-1"}, 2, "", "supplyctl: vmax -1 V refused: -1 V is below the lower limit of 0 V\n"},
        {{"current", "60.5"},
         2,
         "",
         "supplyctl: current 60.5 A refused: 60.5 A is above the limit of 60 A\n"},
        {{"imax", "-0.001"},
         2,
         "",
         "supplyctl: imax -0.001 A refused: -0.001 A is below the lower limit of 0 A\n"},
    };
    for (const CommandCase& c : cases) {
        LoopbackPeer supply;
        std::vector<std::string> args{supply.endpoint()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SupplyctlRun run(args);
        std::string label = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(run.exitCode(), c.exitCode) << label;
        EXPECT_EQ(run.out(), "") << label;
        EXPECT_EQ(run.err(), c.err) << label;
        EXPECT_EQ(receivedAfterRuns(supply), c.sent) << label;
    }
}

TEST(Supplyctl, UsageErrorsExitWithTwoAndSendNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"status", "extra"},
        {"bogus"},
        {"volts"},
        {"volts", "1", "2"},
        {"on", "1"},
        {"volts", "nan"},
        {"current", "inf"},
        {"ovp", "-inf"},
        {"volts", "12abc"},
        {"volts", ""},
        {"volts", " 5"},
        {"volts", "1,5"},
        {"current", "0x10"},
        {"imax", "1e999"},
        {"watch", "0"},
        {"watch", "-1"},
        {"watch", "soon"},
        {"watch", "1", "2"},
    };
    LoopbackPeer supply;
    for (const std::vector<std::string>& c : cases) {
        // The first case has no command at all: the endpoint alone.
        std::vector<std::string> args{supply.endpoint()};
        args.insert(args.end(), c.begin(), c.end());
        std::string label;
        for (const std::string& arg : c) label += "'" + arg + "' ";
        SupplyctlRun run(args);
        EXPECT_EQ(run.exitCode(), 2) << label;
        EXPECT_EQ(run.out(), "") << label;
        EXPECT_TRUE(contains(run.err(), "usage: supplyctl ENDPOINT")) << label << run.err();
    }
    {
        SupplyctlRun run({});
        EXPECT_EQ(run.exitCode(), 2);
        EXPECT_TRUE(contains(run.err(), "usage: supplyctl ENDPOINT"));
    }
    EXPECT_EQ(receivedAfterRuns(supply), "");
}

TEST(Supplyctl, AMalformedTcpEndpointIsAUsageErrorThatSaysWhatIsWrong) {
    struct EndpointCase {
        const char* endpoint;
        const char* why;
    };
    const EndpointCase cases[] = {
        {"tcp:127.0.0.1", "no port after the host"},
        {"tcp:127.0.0.1:", "the port is empty"},
        {"tcp::3002", "the host is empty"},
        {"tcp:", "the host is empty"},
        {"tcp:127.0.0.1:0", "the port 0 is outside 1-65535"},
        {"tcp:127.0.0.1:65536", "the port 65536 is outside 1-65535"},
        {"tcp:127.0.0.1:99999999999999999999", "the port 99999999999999999999 is outside 1-65535"},
        {"tcp:127.0.0.1:30x2", "the port '30x2' is not a number"},
        {"tcp:127.0.0.1:-1", "the port '-1' is not a number"},
        {"tcp:127.0.0.1:3002:9", "more than one ':' after the host"},
        {"tcp:1host:3002", "the host '1host' begins with a digit but is not an IPv4 address"},
        {"tcpx:127.0.0.1:3002", "a TCP endpoint begins with 'tcp:'"},
    };
    for (const EndpointCase& c : cases) {
        SupplyctlRun run({c.endpoint, "off"});
        EXPECT_EQ(run.exitCode(), 2) << c.endpoint;
        EXPECT_EQ(run.out(), "") << c.endpoint;
        EXPECT_TRUE(
            contains(run.err(), std::string("supplyctl: bad endpoint '") + c.endpoint + "': " + c.why))
            << run.err();
        EXPECT_TRUE(contains(run.err(), "usage: supplyctl ENDPOINT")) << run.err();
    }
}

struct StatusCase {
    const char* label;
    std::map<std::string, std::string> changed;  // answers that differ from FULL_ANSWERS
    int exitCode;
    const char* out;
};

TEST(Supplyctl, StatusPrintsEveryValueInOrderAndMarksTheUnreadOnes) {
    const StatusCase cases[] = {
        {"all answered",
         {},
         0,
         "IOUT=12.5000\nVOUT=35.9000\nISET=45.0000\nVSET=35.9000\nOUT=1\nERR=0\nASTS=4\nSTS=0\nFAULT=2\n"},
        {"unparsable answers",
         {{"VSET?\r", "VSET x\r"}, {"ERR?\r", "OUT 0\r"}, {"STS?\r", "ASTS 1\r"}},
         1,
         "IOUT=12.5000\nVOUT=35.9000\nISET=45.0000\nVSET=?\nOUT=1\nERR=?\nASTS=4\nSTS=?\nFAULT=2\n"},
        {"first register and fault unparsable",
         {{"ASTS?\r", "ASTS\r"}, {"FAULT?\r", "FAULT -\r"}},
         1,
         "IOUT=12.5000\nVOUT=35.9000\nISET=45.0000\nVSET=35.9000\nOUT=1\nERR=0\nASTS=?\nSTS=0\nFAULT=?\n"},
    };
    for (const StatusCase& c : cases) {
        std::map<std::string, std::string> answers = c.changed;
        answers.insert(FULL_ANSWERS.begin(), FULL_ANSWERS.end());
        LoopbackPeer supply(0, answering(answers));
        SupplyctlRun run({supply.endpoint(), "status"});
        EXPECT_EQ(run.exitCode(), c.exitCode) << c.label;
        EXPECT_EQ(run.out(), c.out) << c.label;
        // No progress lines of the port layer, no messages.
        EXPECT_EQ(run.err(), "") << c.label;
        EXPECT_EQ(receivedAfterRuns(supply), ALL_QUERIES) << c.label;
    }
}

// A TCP server on loopback that accepts every connection and, unless told
// to keep it, closes it at once, after an optional greeting: a device server
// refusing a second client. Keeping the connections instead, with a backlog
// of 0 and none accepted, makes a further connect hang.
class RefusingServer {
   public:
    enum class Mode { CloseAtOnce, NeverAccept };

    explicit RefusingServer(Mode mode, std::string greeting = {}) : greeting_(std::move(greeting)) {
        listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(listenFd_, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(listen(listenFd_, 0), 0);
        EXPECT_EQ(getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &size), 0);
        port_ = ntohs(address.sin_port);
        if (mode == Mode::NeverAccept) {
            // One connection fills the accept queue; the kernel then drops
            // every further SYN.
            filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            EXPECT_EQ(connect(filler_, reinterpret_cast<sockaddr*>(&address), size), 0);
            return;
        }
        thread_ = std::thread([this] {
            for (;;) {
                int client = accept(listenFd_, nullptr, nullptr);
                if (client < 0) return;  // the listener was shut down
                if (!greeting_.empty()) (void)!write(client, greeting_.data(), greeting_.size());
                close(client);
                ++accepted_;
            }
        });
    }
    ~RefusingServer() {
        shutdown(listenFd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        close(listenFd_);
        if (filler_ >= 0) close(filler_);
    }
    RefusingServer(const RefusingServer&) = delete;
    RefusingServer& operator=(const RefusingServer&) = delete;

    std::string endpoint() const { return "tcp:127.0.0.1:" + std::to_string(port_); }
    int accepted() const { return accepted_.load(); }

   private:
    std::string greeting_;
    int listenFd_ = -1;
    int filler_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// Runs supplyctl in the test's namespaces, under libfaketime (the driver's
// 2-second waits take 0.1 s) unless told otherwise.
class SupplyctlInSandbox : public e2e::Sandbox {
   protected:
    e2e::Child& supplyctl(const std::vector<std::string>& args, bool fakeTime = true) {
        return spawn({.program = SUPPLYCTL_BIN,
                      .args = args,
                      .name = "supplyctl-" + std::to_string(++runs_),
                      .fakeTime = fakeTime});
    }

   private:
    int runs_ = 0;
};

// Each reason why a TCP endpoint cannot be reached is named. Name look-ups
// read only a hosts file of the test's own, so nothing leaves the machine.
TEST_F(SupplyctlInSandbox, AnEndpointThatCannotBeReachedSaysWhyAndExitsWithThree) {
    replaceFile("/etc/nsswitch.conf", "hosts: files\n");
    replaceFile("/etc/hosts", "127.0.0.1 localhost\n127.0.0.1 supply.test\n");
    std::string closedEndpoint;
    {
        LoopbackPeer gone;
        closedEndpoint = gone.endpoint();
    }
    RefusingServer silent(RefusingServer::Mode::NeverAccept);
    struct OpenCase {
        std::string endpoint;
        const char* why;
    };
    const OpenCase cases[] = {
        {closedEndpoint, "connection refused: nothing listens on 127.0.0.1:"},
        {"tcp:nowhere.test:3002", "no such host 'nowhere.test'"},
        {silent.endpoint(), "timed out: 127.0.0.1:"},
        {"/nonexistent/ttyS9", "serial:330:err: openPort: could not open \"/nonexistent/ttyS9\""},
    };
    for (const OpenCase& c : cases) {
        for (const char* command : {"status", "on"}) {
            e2e::Child& run = supplyctl({c.endpoint, command});
            ASSERT_TRUE(run.waitExit()) << c.endpoint;
            EXPECT_EQ(run.exitCode(), 3) << c.endpoint << ' ' << command;
            EXPECT_EQ(run.stdoutText(), "") << c.endpoint << ' ' << command;
            EXPECT_TRUE(contains(run.stderrText(), c.why)) << run.stderrText();
        }
    }

    // A name from the hosts file is looked up and connected to.
    LoopbackPeer supply;
    e2e::Child& run = supplyctl({"tcp:supply.test:" + std::to_string(supply.port()), "on"});
    ASSERT_TRUE(run.waitExit());
    EXPECT_EQ(run.exitCode(), 0) << run.stderrText();
    EXPECT_EQ(receivedAfterRuns(supply), "OUT 1\r");
}

// A supply that is not there: a device server that hangs up at once (as one
// does that refuses a second client), a supply that never answers, or one
// that hangs up in the middle. No command reports success then; status and
// watch stop at the first query that gets nothing.
TEST_F(SupplyctlInSandbox, ASupplyThatIsNotThereIsReportedAndExitsWithOne) {
    const std::string greeting = "Port already in use\r\n";
    for (const std::string command : {"off", "on", "volts", "clear", "status", "watch"}) {
        SCOPED_TRACE(command);
        RefusingServer server(RefusingServer::Mode::CloseAtOnce, command == "status" ? "" : greeting);
        std::vector<std::string> args{server.endpoint(), command};
        if (command == "volts") args.push_back("12");
        if (command == "watch") args.push_back("0.2");
        e2e::Child& run = supplyctl(args);
        ASSERT_TRUE(run.waitExit());
        EXPECT_EQ(run.exitCode(), 1);
        EXPECT_TRUE(contains(run.stderrText(), "supplyctl: the device server at " + server.endpoint() +
                                                   " closed the connection"))
            << run.stderrText();
        if (command == "status") {
            EXPECT_EQ(run.stdoutText(), "IOUT=?\n");
        }
    }

    // Silent: the first query's ten attempts, then the report; nothing else
    // is asked.
    for (const char* command : {"status", "watch"}) {
        SCOPED_TRACE(command);
        LoopbackPeer supply;
        e2e::Child& run = supplyctl({supply.endpoint(), command});
        ASSERT_TRUE(run.waitExit());
        EXPECT_EQ(run.exitCode(), 1);
        EXPECT_EQ(run.stdoutText(), std::string(command) == "status" ? "IOUT=?\n" : WATCH_HEADER);
        EXPECT_EQ(run.stderrText(), "supplyctl: the supply at " + supply.endpoint() +
                                        " did not answer IOUT? (10 attempts, 20 s)\n");
        std::string tenQueries;
        for (int i = 0; i < 10; ++i) tenQueries += "IOUT?\r";
        EXPECT_EQ(receivedAfterRuns(supply), tenQueries);
    }

    // Answers two lines' queries, then hangs up.
    std::atomic<int> lines{0};
    LoopbackPeer supply(0, [&lines, answers = FULL_ANSWERS](LoopbackPeer& peer, const std::string& command) {
        if (command == "IOUT?\r" && ++lines > 2) return peer.closeConnection();
        auto found = answers.find(command);
        if (found != answers.end()) peer.send(found->second);
    });
    e2e::Child& run = supplyctl({supply.endpoint(), "watch", "0.2"});
    ASSERT_TRUE(run.waitExit());
    EXPECT_EQ(run.exitCode(), 1);
    EXPECT_EQ(countOf(run.stdoutText(), ",12.5000,35.9000\n"), 2) << run.stdoutText();
    EXPECT_TRUE(contains(run.stderrText(), "closed the connection")) << run.stderrText();
}

// A device path is a serial line at 9600 bit/s, 8 data bits, 1 stop bit, no
// parity; the settings stay on the line after the run.
TEST(Supplyctl, DrivesASupplyOnASerialLine) {
    PtyPair line;
    SupplyctlRun run({line.slavePath, "current", "7.5"});
    EXPECT_EQ(line.readMaster(13), "ISET 7.5000A\r");
    EXPECT_EQ(run.exitCode(), 0);
    EXPECT_EQ(run.err(), "");
    termios settings{};
    ASSERT_EQ(tcgetattr(line.slave, &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), B9600);
    EXPECT_EQ(cfgetispeed(&settings), B9600);
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(settings.c_cflag & PARENB, 0u);
}

struct WatchCase {
    int sig;
    std::map<std::string, std::string> answers;
    const char* values;  // what follows the time on every line
};

TEST(Supplyctl, WatchPrintsALinePerIntervalUntilInterrupted) {
    const WatchCase cases[] = {
        {SIGINT, FULL_ANSWERS, ",12.5000,35.9000"},
        // A value that is not read leaves its field empty.
        {SIGTERM, {{"IOUT?\r", "IOUT 0.0\r"}, {"VOUT?\r", "VOUT ?\r"}}, ",0.0000,"},
    };
    for (const WatchCase& c : cases) {
        LoopbackPeer supply(0, answering(c.answers));
        long long before = static_cast<long long>(time(nullptr));
        SupplyctlRun run({supply.endpoint(), "watch", "0.2"});
        auto lines = [&run] {
            std::string out = run.out();
            return std::count(out.begin(), out.end(), '\n');
        };
        ASSERT_TRUE(waitUntil([&] { return lines() >= 3; }, DEADLINE)) << run.out() << run.err();
        run.signal(c.sig);
        EXPECT_EQ(run.exitCode(), 0) << strsignal(c.sig);
        long long after = static_cast<long long>(time(nullptr));

        std::string out = run.out();
        ASSERT_EQ(out.substr(0, WATCH_HEADER.size()), WATCH_HEADER);
        std::istringstream data(out.substr(WATCH_HEADER.size()));
        std::string line;
        int count = 0;
        for (; std::getline(data, line); ++count) {
            std::smatch parts;
            ASSERT_TRUE(std::regex_match(line, parts, std::regex("([0-9]+)(.*)"))) << line;
            EXPECT_EQ(parts[2].str(), c.values) << line;
            long long stamp = std::stoll(parts[1].str());
            EXPECT_GE(stamp, before);
            EXPECT_LE(stamp, after);
        }
        EXPECT_GE(count, 2);
        EXPECT_EQ(run.err(), "");
        // Each line asks once for each value, in that order; the signal may
        // have cut short the queries of a line that was never printed.
        std::string sent = receivedAfterRuns(supply);
        std::string expected;
        for (int i = 0; i < count; ++i) expected += "IOUT?\rVOUT?\r";
        ASSERT_EQ(sent.substr(0, expected.size()), expected);
        const std::string cut = sent.substr(expected.size());
        EXPECT_TRUE(cut.empty() || cut == "IOUT?\r" || cut == "IOUT?\rVOUT?\r") << cut;
    }
}

// Ctrl-C ends a watch at once, even while a query waits for a silent supply
// (its ten attempts would take 20 s).
TEST(Supplyctl, WatchEndsPromptlyWhenInterruptedDuringAQuery) {
    LoopbackPeer supply;
    SupplyctlRun run({supply.endpoint(), "watch", "1"});
    ASSERT_TRUE(supply.waitForReceived([](const std::string& bytes) { return bytes == "IOUT?\r"; }));
    run.signal(SIGINT);
    EXPECT_EQ(run.exitCode(5000ms), 0);
    EXPECT_EQ(run.out(), WATCH_HEADER);
    EXPECT_EQ(run.err(), "");
}

}  // namespace

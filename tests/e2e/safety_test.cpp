// Every fault a lab meets ends in a safe, reported state: the real charger
// against instruments that hang up, stop listening or stop reading, a
// system log that stalls, a disk that fills, a console reader that leaves,
// stop signals and an argument. Each row of the table is one fault and the
// state it must end in: the supply's output and setpoint, what each
// instrument received, how the process ended (if it did), the messages,
// and the charge log against the replies the charger accepted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using namespace e2e;

// ---------------------------------------------------------------------------
// The instruments.

// The supply on its port as a device server in front of a real supply: one
// connection at a time (a new one takes the line from the old, as ser2net's
// kickolduser does), the bytes of each connection kept apart. It can hang
// up, stop listening, and stop reading (its buffers then fill).
class ModelSupply {
   public:
    ModelSupply() {
        listener_ = listenOn(SUPPLY_PORT);
        thread_ = std::thread([this] { run(); });
    }
    ~ModelSupply() {
        stop_ = true;
        thread_.join();
        if (client_ >= 0) close(client_);
        if (listener_ >= 0) close(listener_);
    }
    // Each request is carried out by the supply's own thread; these wait
    // until it has been.
    void hangUp() { request(Request::HangUp); }
    void stopListening() { request(Request::StopListening); }
    void listenAgain() { request(Request::Listen); }
    void stopReading() { reading_ = false; }
    void resumeReading() { reading_ = true; }

    std::vector<std::string> connections() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    bool waitForConnections(std::size_t count) const {
        return testsupport::waitUntil([&] { return connections().size() >= count; }, DEADLINE);
    }

   private:
    enum class Request { None, HangUp, StopListening, Listen };

    static int listenOn(std::uint16_t port) {
        int fd = testsupport::listenOnLoopback(port, 4, SOCK_CLOEXEC);
        if (fd < 0) ADD_FAILURE() << "the model supply cannot listen on " << port;
        return fd;
    }

    void request(Request what) {
        request_ = what;
        EXPECT_TRUE(testsupport::waitUntil([&] { return request_.load() == Request::None; }, DEADLINE));
    }

    void run() {
        while (!stop_) {
            switch (request_.exchange(Request::None)) {
                case Request::HangUp:
                    if (client_ >= 0) close(client_);
                    client_ = -1;
                    break;
                case Request::StopListening:
                    if (client_ >= 0) close(client_);
                    client_ = -1;
                    close(listener_);
                    listener_ = -1;
                    break;
                case Request::Listen:
                    listener_ = listenOn(SUPPLY_PORT);
                    break;
                case Request::None:
                    break;
            }
            pollfd fds[2] = {{listener_, POLLIN, 0}, {reading_ ? client_ : -1, POLLIN, 0}};
            if (poll(fds, 2, 10) <= 0) continue;
            if ((fds[0].revents & POLLIN) != 0) {
                int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (accepted >= 0) {
                    if (client_ >= 0) close(client_);
                    client_ = accepted;
                    std::lock_guard lock(mutex_);
                    received_.emplace_back();
                }
            }
            if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char buffer[512];
                ssize_t got = recv(client_, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    close(client_);
                    client_ = -1;
                    continue;
                }
                std::lock_guard lock(mutex_);
                received_.back().append(buffer, static_cast<std::size_t>(got));
            }
        }
    }

    int listener_ = -1;
    int client_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> reading_{true};
    std::atomic<Request> request_{Request::None};
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::thread thread_;
};

// The pack on its port: answers every status request while answering is
// set, with the balance register given; it can hang up and stop listening,
// and listen again.
class ModelPack {
   public:
    ModelPack() { listen(); }
    void hangUp() {
        earlier_ += peer_->received();
        connections_ += peer_->connections();
        peer_.reset();
    }
    void listen() {
        peer_ = std::make_unique<testsupport::LoopbackPeer>(
            PACK_PORT, [this](testsupport::LoopbackPeer& peer, const std::string& command) {
                if (command != "@RQ\n" || !answering) return;
                StatusFields fields;
                fields.balance = balance;
                peer.send(statusReply(fields));
            });
    }
    std::string received() const { return earlier_ + (peer_ ? peer_->received() : ""); }
    int connections() const { return connections_ + (peer_ ? peer_->connections() : 0); }
    int requests() const { return countOf(received(), "@RQ\n"); }

    std::atomic<bool> answering{true};
    std::atomic<int> balance{0};

   private:
    std::unique_ptr<testsupport::LoopbackPeer> peer_;
    std::string earlier_;
    int connections_ = 0;
};

// ---------------------------------------------------------------------------
// What the supply ends with.

enum class Output { Untouched, On, Off };

struct SupplyEnd {
    Output output = Output::Untouched;
    double setpoint = -1.0;
    // The whole commands of each connection (for the rig, one list: the
    // supply's line).
    std::vector<std::vector<std::string>> commands;
};

SupplyEnd supplyEndFrom(const std::vector<std::vector<std::string>>& commands) {
    SupplyEnd end;
    end.commands = commands;
    for (const auto& connection : commands) {
        for (const std::string& command : connection) {
            if (command == "OUT 1") end.output = Output::On;
            if (command == "OUT 0") end.output = Output::Off;
            if (command.starts_with("ISET ")) end.setpoint = std::stod(command.substr(5));
        }
    }
    return end;
}

// Whole commands (ending in a carriage return) of a connection's bytes; a
// cut command at its end was never a command to the supply.
std::vector<std::string> wholeCommands(const std::string& bytes) {
    std::vector<std::string> commands;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find('\r', start)) != std::string::npos; start = end + 1) {
        commands.push_back(bytes.substr(start, end - start));
    }
    return commands;
}

const std::regex SUPPLY_COMMAND(R"(^(CLR|OUT [01]|VSET \d+\.\d{4}V|ISET \d+\.\d{4}A)$)");

// ---------------------------------------------------------------------------
// The table.

enum class Ending { Alive, Exit, Signal };

class Safety;
struct Row;
void PrintTo(const Row& row, std::ostream* out);

struct Row {
    const char* name;
    void (Safety::*fault)(int);
    int param;  // the fault's own: a signal number, or 0
    Ending ending;
    int endValue;  // the exit code or the signal
    Output output;
    double setpoint;  // amperes at the end; 0: the stage current the charger last set
    // Standard error lines (regular expressions) that must each be there
    // exactly once: one per change of state, never one per poll.
    std::vector<const char*> saidOnce;
    // Regular expressions that must match somewhere on standard output.
    std::vector<const char*> printed = {};
};

constexpr const char* PACK_ENDED =
    "connection to the battery pack ended; opening it again before the next status request\n";
constexpr const char* PACK_UNREACHABLE =
    R"(cannot open the battery pack again; trying at every poll, the supply stays at \d+\.\d+ A\n)";
constexpr const char* PACK_AGAIN = "connection to the battery pack open again\n";
constexpr const char* SUPPLY_ENDED = "connection to the supply ended; opening it again\n";
constexpr const char* SUPPLY_UNREACHABLE =
    "cannot open the supply again; trying at every current command, its output keeps its last setting\n";
constexpr const char* SUPPLY_AGAIN =
    R"(connection to the supply open again; charge current \d+\.\d+ A sent\n)";

class Safety : public Sandbox, public ::testing::WithParamInterface<Row> {
   public:
    // ---- the faults ----

    void argument(int) {
        startInstruments();
        SpawnOptions options;
        options.args = {"--help"};
        charger_ = &startCharger(options);
        ASSERT_TRUE(charger_->waitExit());
    }

    void consoleReaderLeaves(int) {
        startInstruments();
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        SpawnOptions options;
        options.stdoutFd = ends[1];
        charger_ = &startCharger(options);
        close(ends[1]);
        stdoutIsFile_ = false;
        // Read two polls' worth, then leave.
        std::string seen;
        ASSERT_TRUE(testsupport::waitUntil(
            [&] {
                pollfd ready{ends[0], POLLIN, 0};
                char buffer[4096];
                if (poll(&ready, 1, 10) > 0) {
                    ssize_t got = read(ends[0], buffer, sizeof buffer);
                    if (got > 0) seen.append(buffer, static_cast<std::size_t>(got));
                }
                return countOf(seen, "going to sleep\n") >= 2;
            },
            DEADLINE));
        close(ends[0]);
        ASSERT_TRUE(charger_->waitForStderr("standard output is gone"));
        const std::size_t records = logRecords().size();
        ASSERT_TRUE(testsupport::waitUntil([&] { return logRecords().size() >= records + 3; }, DEADLINE));
        settle();
    }

    void stopSignal(int sig) {
        startInstruments();
        pack_->balance = 0x01;  // stage 1, then stage 2 (12.5 A)
        charger_ = &startCharger();
        ASSERT_TRUE(charger_->waitForStdout("response is ", 3));
        if (sig == SIGHUP) {
            // The supply's connection has ended unnoticed: the off command
            // must go on a connection opened once more.
            supply_->hangUp();
        }
        kill(charger_->pid(), sig);
        ASSERT_TRUE(charger_->waitExit());
        if (sig == SIGHUP) {
            ASSERT_EQ(supply_->connections().size(), 2u);
        }
    }

    void packClosesAndListensAgain(int) {
        startInstruments();
        charger_ = &startCharger();
        ASSERT_TRUE(charger_->waitForStdout("response is ", 2));
        pack_->hangUp();
        ASSERT_TRUE(charger_->waitForStderr("cannot open the battery pack again"));
        const int empty = countOf(charger_->stdoutText(), "status is 0\n");
        ASSERT_TRUE(charger_->waitForStdout("status is 0\n", empty + 2));
        pack_->listen();
        ASSERT_TRUE(charger_->waitForStderr(PACK_AGAIN));
        ASSERT_TRUE(moreResponses(2));
        settle();
    }

    void ser2netRestarts(int) {
        startRig();
        ASSERT_FALSE(HasFatalFailure());
        SpawnOptions options;
        // ser2net and the paced line set the speed: ser2net at its defaults
        // holds bytes up to 20 ms before it forwards them, and the charger's
        // quiet gap inside a reply (which libfaketime shrinks too) must stay
        // well above that.
        options.fakeTimeSpec = "+0 x1.5";
        charger_ = &startCharger(options);
        ASSERT_TRUE(charger_->waitForStdout("response is ", 3, 30000ms));
        stopSer2net();
        ASSERT_TRUE(charger_->waitForStderr("cannot open the battery pack again", 1, 30000ms));
        startSer2net();
        ASSERT_TRUE(charger_->waitForStderr(PACK_AGAIN, 1, 30000ms));
        ASSERT_TRUE(charger_->waitForStderr("connection to the supply open again", 1, 30000ms));
        ASSERT_TRUE(moreResponses(2, 30000ms));
        settle();
    }

    void supplyDropsAndComesBack(int) {
        startInstruments();
        charger_ = &startCharger();
        ASSERT_TRUE(charger_->waitForStdout("response is ", 2));
        supply_->stopListening();
        // Two current steps while the supply cannot be reached.
        pack_->balance = 0x01;
        ASSERT_TRUE(charger_->waitForStdout("its send failed", 2));
        supply_->listenAgain();
        ASSERT_TRUE(supply_->waitForConnections(2));
        ASSERT_TRUE(charger_->waitForStderr("connection to the supply open again"));
        ASSERT_TRUE(moreResponses(2));
        settle();
    }

    void supplyStopsReading(int) {
        // The smallest buffers this namespace allows (a 1-byte send buffer,
        // a page to receive), and the charger's clock a hundred times fast:
        // a supply that does not read fills them after a few hundred
        // current commands (about 3 kB), some seconds of real time.
        ASSERT_TRUE(writeProc("/proc/sys/net/ipv4/tcp_wmem", "1 1 1"));
        ASSERT_TRUE(writeProc("/proc/sys/net/ipv4/tcp_rmem", "4096 4096 4096"));
        startInstruments();
        SpawnOptions options;
        options.fakeTimeSpec = "+0 x100";
        charger_ = &startCharger(options);
        ASSERT_TRUE(charger_->waitForStdout("response is ", 2));
        supply_->stopReading();
        ASSERT_TRUE(charger_->waitForStderr("Connection timed out", 2, 60000ms));
        // The pack is still polled while the supply's sends give up.
        ASSERT_TRUE(moreResponses(2));
        supply_->resumeReading();
        const std::size_t before = supply_->connections().back().size();
        ASSERT_TRUE(testsupport::waitUntil(
            [&] { return supply_->connections().back().size() > before + 2 * currentCommand(45).size(); },
            DEADLINE));
        settle();
    }

    void systemLogStalls(int) {
        startInstruments();
        charger_ = &startCharger();
        ASSERT_TRUE(charger_->waitForStdout("response is ", 2));
        stallSyslog();
        ASSERT_TRUE(charger_->waitForStderr("system log not taking lines"));
        ASSERT_TRUE(moreResponses(3));
        resumeSyslog();
        ASSERT_TRUE(charger_->waitForStderr("system log taking lines again"));
        ASSERT_TRUE(moreResponses(2));
        settle();
    }

    void diskFillsAndFrees(int) {
        startInstruments();
        pack_->answering = false;
        cwd_ = makeSmallTmpfs("small", 64 * 1024);
        charger_ = &startCharger({.cwd = cwd_});
        ASSERT_EQ(chargeLogFiles(cwd_).size(), 1u);
        const std::string log = cwd_ + "/" + chargeLogFiles(cwd_).front();
        // Pad the log to 20 bytes short of a page, then fill the disk: the
        // first record straddles the page and only part of it fits.
        padding_ = std::string(4096 - 21, '#') + "\n";
        ASSERT_TRUE(appendTo(log, padding_));
        const std::string filler = cwd_ + "/filler";
        int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        const std::string block(4096, 'F');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        while (write(fd, "F", 1) > 0) {
        }
        close(fd);
        pack_->answering = true;
        ASSERT_TRUE(charger_->waitForStderr("charge log: the record of"));
        ASSERT_TRUE(moreResponses(3));
        ASSERT_EQ(unlink(filler.c_str()), 0);
        ASSERT_TRUE(charger_->waitForStderr("charge log: writing works again"));
        ASSERT_TRUE(moreResponses(2));
        settle();
    }

    // ---- the end state ----

    SupplyEnd supplyEnd() {
        std::vector<std::vector<std::string>> commands;
        if (benchsim() != nullptr) {
            // benchsim logs every command the supply's line brought.
            static const std::regex logged(R"(\] supply: ((CLR|OUT [01]|VSET \S+|ISET \S+))[,\n])");
            commands.push_back(capturesOf(benchsim()->stderrText(), logged));
        } else if (supply_ != nullptr) {
            for (const std::string& bytes : supply_->connections()) commands.push_back(wholeCommands(bytes));
        }
        return supplyEndFrom(commands);
    }

    std::string packReceived() {
        if (benchsim() != nullptr) {
            static const std::regex logged(R"(\] pack: (@A[CF]|@RQ))");
            std::string all;
            for (const std::string& command : capturesOf(benchsim()->stderrText(), logged))
                all += command + "\n";
            return all;
        }
        return pack_ != nullptr ? pack_->received() : "";
    }

    std::string chargeLogText() {
        const std::vector<std::string> files = chargeLogFiles(cwd_);
        if (files.size() != 1) return {};
        std::ifstream in(cwd_ + "/" + files.front(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::vector<std::string> logRecords() {
        std::string text = chargeLogText();
        if (!padding_.empty() && text.starts_with(padding_)) text.erase(0, padding_.size());
        std::vector<std::string> records;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) records.push_back(line);
        return records;
    }

    Child* charger_ = nullptr;
    bool stdoutIsFile_ = true;
    std::string cwd_;
    std::string padding_;
    std::unique_ptr<ModelSupply> supply_;
    std::unique_ptr<ModelPack> pack_;

   protected:
    void SetUp() override {
        Sandbox::SetUp();
        cwd_ = dir();
    }
    void TearDown() override {
        supply_.reset();
        pack_.reset();
        Sandbox::TearDown();
    }

   private:
    void startInstruments() {
        supply_ = std::make_unique<ModelSupply>();
        pack_ = std::make_unique<ModelPack>();
    }

    bool moreResponses(int more, std::chrono::milliseconds deadline = DEADLINE) {
        return charger_->waitForStdout("response is ", countOf(charger_->stdoutText(), "response is ") + more,
                                       deadline);
    }

    // Leaves the charger where no reply is half handled: the pack goes
    // quiet and two more requests come (or, on the rig, the charger is
    // between polls, asleep).
    void settle() {
        if (benchsim() != nullptr) {
            EXPECT_TRUE(testsupport::waitUntil(
                [&] { return charger_->stdoutText().ends_with("going to sleep\n"); }, 30000ms));
            return;
        }
        pack_->answering = false;
        const int requests = pack_->requests();
        EXPECT_TRUE(testsupport::waitUntil([&] { return pack_->requests() >= requests + 2; }, DEADLINE));
    }

    static bool writeProc(const std::string& path, const std::string& value) {
        std::ofstream out(path);
        out << value;
        out.close();
        return out.good();
    }

    static bool appendTo(const std::string& path, const std::string& text) {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) return false;
        bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        close(fd);
        return whole;
    }
};

const std::vector<Row> ROWS{
    {"AnArgument",
     &Safety::argument,
     0,
     Ending::Exit,
     2,
     Output::Untouched,
     -1,
     {R"(charger takes no arguments; nothing was done\. It is built for the battery pack at )"
      R"(tcp:127\.0\.0\.1:10001 and the supply at tcp:127\.0\.0\.1:3002\.\n)"}},
    {"StandardOutputToAPipeThatCloses",
     &Safety::consoleReaderLeaves,
     0,
     Ending::Alive,
     0,
     Output::On,
     45.0,
     {R"(standard output is gone \(Broken pipe\); the charge goes on\n)"}},
    {"SIGINT",
     &Safety::stopSignal,
     SIGINT,
     Ending::Signal,
     SIGINT,
     Output::Off,
     12.5,
     {R"(SIGINT: supply output switched off \(OUT 0 sent\); ending\n)"}},
    {"SIGTERM",
     &Safety::stopSignal,
     SIGTERM,
     Ending::Signal,
     SIGTERM,
     Output::Off,
     12.5,
     {R"(SIGTERM: supply output switched off \(OUT 0 sent\); ending\n)"}},
    {"SIGHUPAfterTheSupplyHungUp",
     &Safety::stopSignal,
     SIGHUP,
     Ending::Signal,
     SIGHUP,
     Output::Off,
     12.5,
     {R"(SIGHUP: supply output switched off \(OUT 0 sent\); ending\n)"}},
    {"PackConnectionClosedAndListenedForAgain",
     &Safety::packClosesAndListensAgain,
     0,
     Ending::Alive,
     0,
     Output::On,
     45.0,
     {PACK_ENDED, PACK_UNREACHABLE, PACK_AGAIN},
     {R"(sending status request\nwaiting for reply\nstatus is 0\ngoing to sleep\n)"}},
    {"Ser2netRestarted",
     &Safety::ser2netRestarts,
     0,
     Ending::Alive,
     0,
     Output::On,
     0,
     {PACK_ENDED, PACK_UNREACHABLE, PACK_AGAIN, SUPPLY_ENDED, SUPPLY_AGAIN}},
    {"SupplyConnectionDroppedMidCharge",
     &Safety::supplyDropsAndComesBack,
     0,
     Ending::Alive,
     0,
     Output::On,
     12.5,
     {SUPPLY_ENDED, SUPPLY_UNREACHABLE, SUPPLY_AGAIN},
     {R"(\n\*\*\*\*setting charge current to 22\.500000\n\n)"
      R"(\*\*\*\*the supply did not get this charge current: its send failed\n)"}},
    {"SupplyThatStopsReading", &Safety::supplyStopsReading, 0, Ending::Alive, 0, Output::On, 45.0, {}},
    {"SystemLogThatStalls",
     &Safety::systemLogStalls,
     0,
     Ending::Alive,
     0,
     Output::On,
     45.0,
     {R"(system log not taking lines \(Resource temporarily unavailable\); dropping them until it does\n)",
      R"(system log taking lines again; \d+ lines were dropped\n)"}},
    {"DiskThatFillsAndFrees",
     &Safety::diskFillsAndFrees,
     0,
     Ending::Alive,
     0,
     Output::On,
     45.0,
     {R"(charge log: the record of \d+ was not written \(No space left on device\); records are lost )"
      R"(until writing works again\n)",
      R"(charge log: writing works again; \d+ records were lost\n)"}},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

long long sumOf(const std::string& text, const std::regex& pattern) {
    long long sum = 0;
    for (const std::string& count : capturesOf(text, pattern)) sum += std::stoll(count);
    return sum;
}

TEST_P(Safety, EndsInItsSafeReportedState) {
    const Row& row = GetParam();
    (this->*row.fault)(row.param);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_NE(charger_, nullptr);

    // How the process ended, if it did.
    switch (row.ending) {
        case Ending::Alive:
            ASSERT_TRUE(charger_->running()) << charger_->stderrText();
            charger_->stop(SIGKILL);
            break;
        case Ending::Exit:
            ASSERT_TRUE(charger_->waitExit());
            EXPECT_EQ(charger_->exitCode(), row.endValue);
            break;
        case Ending::Signal:
            ASSERT_TRUE(charger_->waitExit());
            EXPECT_EQ(charger_->termSignal(), row.endValue) << charger_->stderrText();
            break;
    }
    const std::string out = stdoutIsFile_ ? charger_->stdoutText() : "";
    const std::string err = charger_->stderrText();

    // The supply: its output and setpoint, and only the setpoint on a
    // connection opened again.
    const SupplyEnd end = supplyEnd();
    EXPECT_EQ(end.output, row.output) << err;
    if (row.output != Output::Untouched) {
        double expected = row.setpoint;
        if (expected == 0) {
            const std::vector<std::string> set =
                capturesOf(out, std::regex(R"(\*\*\*\*setting charge current to (\d+\.\d+)\n)"));
            ASSERT_FALSE(set.empty());
            expected = std::stod(set.back());
        }
        EXPECT_EQ(end.setpoint, expected);
        ASSERT_FALSE(end.commands.empty());
        const std::vector<std::string>& first = end.commands.front();
        ASSERT_GE(first.size(), 5u);
        EXPECT_EQ(std::vector<std::string>(first.begin(), first.begin() + 5),
                  (std::vector<std::string>{"CLR", "OUT 0", "VSET 35.9000V", "ISET 45.0000A", "OUT 1"}));
        for (std::size_t c = 0; c < end.commands.size(); ++c) {
            for (std::size_t i = c == 0 ? 5 : 0; i < end.commands[c].size(); ++i) {
                const std::string& command = end.commands[c][i];
                EXPECT_TRUE(std::regex_match(command, SUPPLY_COMMAND))
                    << "a command cut or glued: " << command;
                EXPECT_TRUE(command.starts_with("ISET ") || command == "OUT 0")
                    << "connection " << c << " command " << i << ": " << command;
            }
        }
        if (row.output == Output::Off) {
            EXPECT_EQ(end.commands.back().back(), "OUT 0");
        }
    } else {
        EXPECT_TRUE(end.commands.empty());
    }

    // The pack: started once, never again.
    const std::string pack = packReceived();
    if (row.output != Output::Untouched) {
        EXPECT_TRUE(pack.starts_with("@AC\n")) << pack;
        EXPECT_EQ(countOf(pack, "@AC\n"), 1) << pack;
        EXPECT_EQ(countOf(pack, "@RQ\n") + countOf(pack, "@AF\n") + 1, countOf(pack, "\n"));
    } else {
        EXPECT_EQ(pack, "");
        EXPECT_EQ(pack_->connections() + static_cast<int>(supply_->connections().size()), 0);
        EXPECT_TRUE(chargeLogFiles(cwd_).empty());
    }

    // The messages, each once.
    for (const char* said : row.saidOnce) {
        EXPECT_EQ(capturesOf(err, std::regex(std::string("(") + said + ")")).size(), 1u)
            << said << "\nstandard error:\n"
            << err;
    }
    for (const char* printed : row.printed) {
        EXPECT_TRUE(std::regex_search(out, std::regex(printed))) << printed << "\n" << out;
    }
    if (row.output == Output::Untouched) return;

    // Every accepted reply is in the charge log, whole and in order,
    // unless it was reported lost; and in the system log unless dropped.
    const std::vector<std::string> records = logRecords();
    static const std::regex record(
        R"((\d+),\d+\.\d\d,-?\d+\.\d\d,\d+,[ 0-9a-f]{2,},[ 0-9a-f]{2,},[ 0-9a-f]{2,},[ 0-9a-f]{2,})");
    std::vector<std::string> logged;
    for (const std::string& line : records) {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(line, match, record)) << "not a whole record: " << line;
        logged.push_back(match[1].str());
    }
    const long long lost =
        sumOf(err, std::regex(R"(charge log: writing works again; (\d+) records were lost\n)"));
    std::size_t accepted = records.size() + static_cast<std::size_t>(lost);
    if (stdoutIsFile_) {
        const std::vector<std::string> reported = capturesOf(out, std::regex(R"(\ntime: (\d+)\n)"));
        accepted = reported.size();
        EXPECT_EQ(logged.size() + static_cast<std::size_t>(lost), reported.size());
        std::size_t at = 0;
        for (const std::string& time : logged) {
            while (at < reported.size() && reported[at] != time) ++at;
            EXPECT_LT(at, reported.size()) << "a record of no reply, or out of order: " << time;
            ++at;
        }
    }
    EXPECT_GT(accepted, 0u);
    const long long dropped =
        sumOf(err, std::regex(R"(system log taking lines again; (\d+) lines were dropped\n)"));
    waitForSyslog(2 * accepted - static_cast<std::size_t>(dropped));
    std::size_t ours = 0;
    for (const SyslogMessage& message : syslog()) ours += message.tag == "charger" ? 1 : 0;  // not ser2net's
    EXPECT_EQ(ours + static_cast<std::size_t>(dropped), 2 * accepted);
}

INSTANTIATE_TEST_SUITE_P(Faults, Safety, ::testing::ValuesIn(ROWS),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

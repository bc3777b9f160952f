// End-to-end harness: the real, unmodified binaries run in the test's own
// network and mount namespaces, under libfaketime, against scripted
// instruments on the fixed ports, with everything they leave behind
// (standard output, standard error, the charge log, the system-log lines)
// collected for the test to check.
//
// How a test uses it:
//
//     class MyTest : public e2e::Sandbox {};
//
//     TEST_F(MyTest, Something) {
//         e2e::ScriptedPack pack({e2e::PackStep::answer(e2e::statusReply({}))});
//         e2e::RecordingSupply supply;
//         e2e::Child& charger = startCharger();
//         ASSERT_TRUE(waitForStdout("going to sleep", 2));
//         charger.stop();
//         EXPECT_EQ(chargeLog(), ...);
//     }
//
// The sandbox (Sandbox::SetUp) does, in the test process itself:
//  - unshare(CLONE_NEWNET | CLONE_NEWNS), and CLONE_NEWUSER with a root
//    mapping when not root, so the fixed ports 3002/10001 and /dev/log
//    belong to this test alone (ctest runs one process per test, in
//    parallel). When the kernel refuses, the test is skipped with the reason.
//  - brings the namespace's loopback up;
//  - makes every mount private and puts a fresh tmpfs on /dev holding null,
//    zero, full, random, urandom and tty (bind mounts of the host's nodes), a
//    private devpts on /dev/pts with /dev/ptmx pointing into it (openpty keeps
//    working), the fd/stdin/stdout/stderr links, and a Unix datagram socket
//    bound at /dev/log whose messages a thread collects;
//  - makes a fresh temporary directory, the children's working directory.
// Instruments (LoopbackPeer and the wrappers below) must be created after
// SetUp, i.e. in the test body, so that they listen inside the namespace;
// children started afterwards inherit it.
//
// libfaketime: a child started with fakeTime (the default) gets LD_PRELOAD of
// the Debian package's libfaketime.so.1 and FAKETIME="+0 x20": its clock
// starts at the real time and runs 20 times fast. With libfaketime 0.9.10
// sleep(), usleep()/nanosleep(), select() and poll() time-outs are all
// divided by 20 without further settings (checked: sleep(5) takes 0.25 s,
// a 2 s select time-out 0.1 s), so one poll cycle of the charger with a
// silent pack (5 s sleep + 2 s receive wait) takes about 0.35 s. time() runs
// fast too, so the seconds in reports and records are ahead of the wall
// clock. The library is looked up at the usual multiarch paths, or taken
// from the environment variable E2E_LIBFAKETIME.
//
// Every wait is a condition with a deadline (real time); nothing sleeps to
// synchronise. Set E2E_KEEP=1 to keep each test's directory for a post
// mortem (its path is printed).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "peer.h"

namespace e2e {

using namespace std::chrono_literals;

// The instruments' fixed ports, as the charger is built.
constexpr std::uint16_t SUPPLY_PORT = 3002;
constexpr std::uint16_t PACK_PORT = 10001;

// Default real-time deadline of the waits below: generous, since a poll
// cycle takes about 0.35 s and the machine may be busy.
constexpr std::chrono::milliseconds DEADLINE = 10000ms;

// How long a charger may take from its start to its first visible act (the
// charge log created, an exit, or a word on standard error).
constexpr std::chrono::milliseconds STARTUP_DEADLINE = 4000ms;

// ---------------------------------------------------------------------------
// The pack's 77-byte status reply.

// Field values as the pack sends them; each is written as upper-case hex of
// its field's width (4 or 2 characters), so only the low 16 or 8 bits count.
struct StatusFields {
    int gasGauge = 0x1388;  // hundredths of a percent: 50.00
    std::array<int, 8> cellMillivolts{3600, 3600, 3600, 3600, 3600, 3600, 3600, 3600};
    int current = 0x07D0;  // hundredths of an ampere, 16-bit two's complement
    std::array<int, 9> temps{25, 25, 25, 25, 25, 25, 25, 25, 30};  // layers 8..1, heatsink
    int humidity = 40;
    int balance = 0;
    int tempAlert = 0;
    int voltAlert = 0;
    int status = 0;
};

// The 74 hex characters of the fields followed by the 3-byte trailer, which
// the charger does not examine.
std::string statusReply(const StatusFields& fields, const std::string& trailer = "00\n");

// ---------------------------------------------------------------------------
// Scripted instruments. Both wrap a testsupport::LoopbackPeer on their fixed
// port; peer() gives access to it (received(), waitForReceived(), send(),
// connections()).

// What the pack does for one status request "@RQ\n".
struct PackStep {
    enum class Kind { Answer, Silent, Split, Close };
    Kind kind = Kind::Silent;
    std::string bytes;
    std::size_t splitAt = 0;
    std::chrono::milliseconds gap{0};

    static PackStep answer(std::string bytes) { return {Kind::Answer, std::move(bytes), 0, 0ms}; }
    static PackStep silent() { return {}; }
    // The reply in two pieces: bytes [0, at), then after gap (real time) the
    // rest. The pack's thread sleeps for the gap, as a slow line would.
    static PackStep split(std::string bytes, std::size_t at, std::chrono::milliseconds gap) {
        return {Kind::Split, std::move(bytes), at, gap};
    }
    // Close the connection instead of answering (the listener stays open).
    static PackStep close() { return {Kind::Close, {}, 0, 0ms}; }
};

// The pack on port 10001: answers each status request with the next step of
// its script, then with afterEnd for every later request. The start and off
// commands get no answer. Steps may be appended while the charger runs.
class ScriptedPack {
   public:
    explicit ScriptedPack(std::vector<PackStep> script = {}, PackStep afterEnd = PackStep::silent());
    void append(PackStep step);
    testsupport::LoopbackPeer& peer() { return *peer_; }
    std::string received() const { return peer_->received(); }
    // Status requests received so far.
    int requests() const;
    // Waits until at least count status requests have arrived.
    bool waitForRequests(int count, std::chrono::milliseconds deadline = DEADLINE) const;

   private:
    void answer(testsupport::LoopbackPeer& peer, const std::string& command);

    std::mutex mutex_;
    std::deque<PackStep> script_;
    PackStep afterEnd_;
    std::unique_ptr<testsupport::LoopbackPeer> peer_;
};

// The supply on port 3002: records every byte and answers nothing.
class RecordingSupply {
   public:
    RecordingSupply() : peer_(SUPPLY_PORT) {}
    testsupport::LoopbackPeer& peer() { return peer_; }
    std::string received() const { return peer_.received(); }
    // Waits until the received bytes are exactly expected; returns whether
    // they were (a mismatch that can no longer become a match ends early).
    bool waitForExactly(const std::string& expected, std::chrono::milliseconds deadline = DEADLINE) const;

   private:
    testsupport::LoopbackPeer peer_;
};

// The bytes the charger sends the supply at start-up, output on at 35.9 V
// and 45.0 A; and the current command it sends after every accepted reply.
extern const std::string SUPPLY_STARTUP;
std::string currentCommand(double amperes);

// Counts the non-overlapping occurrences of needle in text.
int countOf(const std::string& text, const std::string& needle);

// The first capture group of every match of pattern in text, in order.
std::vector<std::string> capturesOf(const std::string& text, const std::regex& pattern);

// The example device-server configuration (deploy/ser2net.yaml) as a test
// runs it: its device paths replaced by the lines given, and its stand-in
// for the charger's host, the one address it lets in (remaddr), by
// 127.0.0.1, where the charger runs here.
constexpr const char* EXAMPLE_CHARGER_HOST = "192.0.2.20";
std::string exampleSer2netConfig(const std::string& supplyLine, const std::string& packLine);

// A test's edit of the example configuration: every match of pattern is
// replaced; a pattern that matches nothing fails the test.
struct ConfigEdit {
    std::string pattern;
    std::string replacement;
};

// Where benchsim serves each instrument: a pseudo-terminal's path, or an
// address.
struct BenchLines {
    std::string supply;
    std::string pack;
};

// The words of a systemd unit's command line (ExecStart=, ExecStopPost=):
// split at blanks, but not inside single quotes, the only quoting the
// charger's units use.
std::vector<std::string> commandLineWords(const std::string& text);

// ---------------------------------------------------------------------------
// A child process in the sandbox.

struct SpawnOptions {
    std::string program{};            // path of the executable
    std::vector<std::string> args{};  // after argv[0]
    std::string cwd{};                // default: the sandbox's directory
    std::string name{};               // output files NAME.stdout, NAME.stderr; default: program's base name
    bool fakeTime = true;             // run under libfaketime
    std::string fakeTimeSpec = "+0 x20";  // FAKETIME
    std::vector<std::string> env{};       // extra NAME=VALUE entries
    int stdoutFd = -1;                    // when set, the child's standard output instead of NAME.stdout
};

class Child {
   public:
    Child(pid_t pid, std::string stdoutPath, std::string stderrPath)
        : pid_(pid), stdoutPath_(std::move(stdoutPath)), stderrPath_(std::move(stderrPath)) {}
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Collects the exit if there is one; true while the process runs.
    bool running();
    // Waits for the process to end by itself.
    bool waitExit(std::chrono::milliseconds deadline = DEADLINE);
    // Sends sig (if still running) and collects the exit; SIGKILL after the
    // deadline if sig was not enough. Returns the wait status.
    int stop(int sig = SIGTERM, std::chrono::milliseconds deadline = DEADLINE);
    // Only once ended: the exit code (255 for exit(-1)), or -1 when a
    // signal ended it; the signal, or 0.
    int exitCode() const;
    int termSignal() const;
    bool exited() const { return status_.has_value(); }

    std::string stdoutText() const;
    std::string stderrText() const;
    const std::string& stdoutPath() const { return stdoutPath_; }
    const std::string& stderrPath() const { return stderrPath_; }
    // Waits until standard output (as written to its file) holds needle at
    // least count times.
    bool waitForStdout(const std::string& needle, int count = 1,
                       std::chrono::milliseconds deadline = DEADLINE) const;
    bool waitForStderr(const std::string& needle, int count = 1,
                       std::chrono::milliseconds deadline = DEADLINE) const;
    // A child that never got going: its waits no longer wait.
    void markStalled() { stalled_ = true; }

   private:
    pid_t pid_;
    std::string stdoutPath_;
    std::string stderrPath_;
    std::optional<int> status_;
    bool stalled_ = false;
};

// One message received on /dev/log. glibc writes "<PRI>Mmm dd hh:mm:ss
// TAG: MESSAGE" (TAG[pid] with LOG_PID).
struct SyslogMessage {
    int priority = -1;
    std::string tag;
    std::string message;
    std::string raw;
};
SyslogMessage parseSyslog(const std::string& raw);

// ---------------------------------------------------------------------------
// The fixture: derive the tests' fixture from it (or use it directly).

class Sandbox : public ::testing::Test {
   protected:
    void SetUp() override;
    void TearDown() override;

    // The test's fresh directory (children's default working directory).
    const std::string& dir() const { return dir_; }
    // A new empty directory below dir() on a read-only mount: nothing can be
    // created in it, even by root.
    std::string makeReadOnlyDir(const std::string& name = "readonly");
    // Puts a file holding content over the existing file target (a bind
    // mount, seen by this test and its children only), for instance
    // /etc/nsswitch.conf and /etc/hosts to make name look-ups local.
    void replaceFile(const std::string& target, const std::string& content);
    // A new directory below dir() on a tmpfs of its own, of size bytes (a
    // multiple of the page size): a disk that fills up.
    std::string makeSmallTmpfs(const std::string& name, std::size_t size);

    Child& spawn(SpawnOptions options);
    // The charger binary under test (options.program, CHARGER_BIN unless
    // given), under libfaketime, in dir().
    Child& startCharger(SpawnOptions options = {});
    // The last child started.
    Child& child() { return *children_.back(); }

    // Shorthands on the last child.
    std::string stdoutText() { return child().stdoutText(); }
    std::string stderrText() { return child().stderrText(); }
    bool waitForStdout(const std::string& needle, int count = 1,
                       std::chrono::milliseconds deadline = DEADLINE) {
        return child().waitForStdout(needle, count, deadline);
    }

    // Names of the files "<digits>olm.log" in dir (default dir()).
    std::vector<std::string> chargeLogFiles(const std::string& in = {}) const;
    // The contents of the one charge log; fails the test when there is not
    // exactly one.
    std::string chargeLog() const;

    // System-log messages received so far, in order of arrival.
    std::vector<SyslogMessage> syslog() const;
    bool waitForSyslog(std::size_t count, std::chrono::milliseconds deadline = DEADLINE) const;
    // A log daemon that restarts and then stops reading: /dev/log is
    // replaced by a new socket (the old one closed) that nobody reads, so
    // its queue fills. resumeSyslog reads it again, queue first.
    void stallSyslog();
    void resumeSyslog();

    // benchsim in real time with args (named name for its output files);
    // returns what it serves each instrument on, as it printed them.
    BenchLines startBench(std::vector<std::string> args, const std::string& name = "benchsim");
    // A real ser2net bridging lines to the fixed ports with the shipped
    // example configuration (deploy/ser2net.yaml), edits applied; waits until
    // it listens on both. Without arguments: again with the last
    // configuration. stopSer2net ends it (which closes every connection) and
    // waits until nothing listens.
    void startSer2net(const BenchLines& lines, const std::string& name = "ser2net",
                      const std::vector<ConfigEdit>& edits = {});
    void startSer2net();
    void stopSer2net();
    // The whole rig: benchsim plays both instruments on pseudo-terminals at
    // the pace of a 9600 bit/s line, behind ser2net as above.
    void startRig(const std::vector<ConfigEdit>& edits = {});
    Child* benchsim() { return benchsim_; }
    Child* ser2net() { return ser2net_; }

    // Whether something in this namespace listens on 127.0.0.1:port (read
    // from /proc/net/tcp, so a listener sees no probe connection).
    static bool listening(std::uint16_t port);

   private:
    bool enterNamespaces(std::string* why);
    bool bindSyslog(std::string* why);
    void stopSyslogReader();
    bool buildDev(std::string* why);
    void readSyslog();

    std::string dir_;
    std::vector<std::string> mounts_;  // to undo, innermost last
    std::vector<std::unique_ptr<Child>> children_;
    int syslogFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::thread syslogThread_;
    mutable std::mutex syslogMutex_;
    std::vector<std::string> syslogRaw_;
    Child* benchsim_ = nullptr;
    Child* ser2net_ = nullptr;
    std::string ser2netConfig_;
    std::string ser2netName_;
    bool secondAddress_ = false;
};

// Path of libfaketime.so.1, or empty when it is not installed.
std::string libfaketimePath();

}  // namespace e2e

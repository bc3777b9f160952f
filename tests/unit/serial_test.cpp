#include "serial/serial.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peer.h"
#include "util/settings.h"

namespace {

using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Replaces each "{KEY}" in text by its value.
std::string fill(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [key, value] : values) {
        const std::string mark = "{" + key + "}";
        for (std::size_t at = text.find(mark); at != std::string::npos;
             at = text.find(mark, at + value.size())) {
            text.replace(at, mark.size(), value);
        }
    }
    return text;
}

std::vector<PortRecord*> table() {
    std::vector<PortRecord*> records;
    for (PortRecord* record = ports; record != nullptr; record = record->next) records.push_back(record);
    return records;
}

// The table as a list of descriptors, after checking that every link
// agrees with its neighbour.
std::vector<int> tableFds() {
    std::vector<int> fds;
    PortRecord* previous = nullptr;
    for (PortRecord* record = ports; record != nullptr; record = record->next) {
        EXPECT_EQ(record->prev, previous) << "prev link of fd=" << record->fd;
        fds.push_back(record->fd);
        previous = record;
    }
    return fds;
}

PortRecord* recordOf(int fd) {
    for (PortRecord* record = ports; record != nullptr; record = record->next) {
        if (record->fd == fd) return record;
    }
    return nullptr;
}

int openFdCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

int pendingBytes(int fd) {
    int count = 0;
    return ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

// A loopback port that nobody listens on: bound, so no one else takes it,
// but not listening, so a connect is refused.
class ClosedPort {
   public:
    ClosedPort() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ADD_FAILURE() << "cannot bind a loopback port";
        }
        port_ = ntohs(address.sin_port);
    }
    ~ClosedPort() { close(fd_); }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    int port() const { return port_; }

   private:
    int fd_ = -1;
    int port_ = 0;
};

// Runs the test in a fresh directory, since the send log goes to the cwd.
class TempCwd {
   public:
    TempCwd() : saved_(fs::current_path()) {
        char pattern[] = "/tmp/serial-test-XXXXXX";
        dir_ = mkdtemp(pattern);
        fs::current_path(dir_);
    }
    ~TempCwd() {
        fs::current_path(saved_);
        fs::remove_all(dir_);
    }
    TempCwd(const TempCwd&) = delete;
    TempCwd& operator=(const TempCwd&) = delete;
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

   private:
    fs::path saved_;
    fs::path dir_;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

// Replaces every "S<seconds>: " whose time lies in [from, to] by "S#: ", so
// that log contents can be compared whole.
std::string maskSeconds(const std::string& text, time_t from, time_t to) {
    static const std::regex entry("S([0-9]+): ");
    std::string masked;
    auto last = text.cbegin();
    for (std::sregex_iterator it(text.cbegin(), text.cend(), entry), end; it != end; ++it) {
        long long seconds = std::stoll((*it)[1].str());
        masked.append(last, (*it)[0].first);
        masked += seconds >= from && seconds <= to ? "S#: " : (*it)[0].str();
        last = (*it)[0].second;
    }
    masked.append(last, text.cend());
    return masked;
}

struct OpenResult {
    int result;
    int out;
    std::string stdoutText;
    std::string stderrText;
};

OpenResult attemptOpen(const std::string& endpoint, int speed = 9600, int databits = 8, int stopbits = 1,
                       const char* parity = "none") {
    OpenResult opened{0, -7, "", ""};
    CaptureFd out(1);
    CaptureFd err(2);
    opened.result = openPort(endpoint.c_str(), &opened.out, speed, databits, stopbits, parity);
    opened.stderrText = err.finish();
    opened.stdoutText = out.finish();
    return opened;
}

struct RecvResult {
    int result;
    std::string stdoutText;
    std::string stderrText;
};

RecvResult recvCaptured(int fd, char* buf, int len) {
    CaptureFd out(1);
    CaptureFd err(2);
    int result = recvStr(fd, buf, len);
    std::string errText = err.finish();
    return {result, out.finish(), errText};
}

class SerialTest : public ::testing::Test {
   protected:
    void SetUp() override { before_ = table(); }

    void TearDown() override {
        for (PortRecord* record : table()) {
            if (std::find(before_.begin(), before_.end(), record) == before_.end()) closePort(record->fd);
        }
        QUIET_PORT_PROGRESS = 0;
    }

    std::vector<int> fdsBefore() const {
        std::vector<int> fds;
        for (PortRecord* record : before_) fds.push_back(record->fd);
        return fds;
    }

    // Opens a TCP port to the peer and waits until the peer has accepted it.
    int openTcp(LoopbackPeer& peer) {
        int before = peer.connections();
        int fd = 0;
        int result = openPort(peer.endpoint().c_str(), &fd, 9600, 8, 1, "none");
        EXPECT_GT(result, 0);
        EXPECT_EQ(fd, result);
        EXPECT_TRUE(waitUntil([&] { return peer.connections() > before; }));
        return result;
    }

    std::vector<PortRecord*> before_;
};

// ---- TCP open and send -------------------------------------------------------

TEST_F(SerialTest, TcpOpenIgnoresLineSettingsAndSendsTheExactBytes) {
    struct Case {
        int speed;
        int databits;
        int stopbits;
        const char* parity;
    };
    const Case cases[] = {
        {9600, 8, 1, "none"},
        {0, 9, 2, "MARK"},
        {12345, 4, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.speed << "/" << c.databits << "/" << c.parity);
        LoopbackPeer peer;
        OpenResult opened = attemptOpen(peer.endpoint(), c.speed, c.databits, c.stopbits, c.parity);
        ASSERT_GT(opened.result, 0);
        EXPECT_EQ(opened.out, opened.result);
        EXPECT_EQ(opened.stderrText, "");
        EXPECT_EQ(opened.stdoutText, "");
        int fd = opened.result;

        PortRecord* record = recordOf(fd);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->isTcp, 1);
        EXPECT_EQ(record->logFd, 0);
        EXPECT_EQ(record->next, nullptr);
        EXPECT_TRUE(waitUntil([&] { return peer.connections() == 1; }));

        EXPECT_EQ(sendStr(fd, "CLR\r"), 0);
        EXPECT_EQ(sendStr(fd, "VSET 35.9000V\r"), 0);
        EXPECT_EQ(sendStr(fd, "@RQ\n"), 0);
        EXPECT_EQ(flushSend(fd), 0);
        EXPECT_TRUE(peer.waitForReceived([](const std::string& got) { return got.size() >= 22; }));
        EXPECT_EQ(peer.received(), "CLR\rVSET 35.9000V\r@RQ\n");

        EXPECT_EQ(closePort(fd), 0);
        EXPECT_EQ(recordOf(fd), nullptr);
    }
}

TEST_F(SerialTest, TcpEndpointFieldsAreSplitAtColons) {
    // {P} is the listening port.
    const char* endpoints[] = {
        "tcp:127.0.0.1:{P}",
        "tcp::127.0.0.1:{P}",  // runs of colons are one separator
        "tcp:127.0.0.1:::{P}",
        "tcp:127.0.0.1:{P}:",
        "tcp:127.0.0.1:{P}:more:fields",  // ignored after the port
        "tcpx:127.0.0.1:{P}",             // only three characters decide
        "tcp:127.0.0.1:{P+65536}",        // low 16 bits
        "tcp:127.0.0.1:{P}abc",           // leading digits only
        "tcp:127.1:{P}",                  // dotted-address short form
        "tcp:localhost:{P}",              // name look-up
    };
    for (const char* pattern : endpoints) {
        LoopbackPeer peer;
        std::string endpoint = fill(
            pattern, {{"P", std::to_string(peer.port())}, {"P+65536", std::to_string(peer.port() + 65536)}});
        SCOPED_TRACE(endpoint);
        OpenResult opened = attemptOpen(endpoint);
        ASSERT_GT(opened.result, 0) << opened.stderrText;
        EXPECT_EQ(opened.stderrText, "");
        EXPECT_TRUE(waitUntil([&] { return peer.connections() == 1; }));
        EXPECT_EQ(sendStr(opened.result, "X\r"), 0);
        EXPECT_TRUE(peer.waitForReceived([](const std::string& got) { return got == "X\r"; }));
        EXPECT_EQ(recordOf(opened.result)->isTcp, 1);
        closePort(opened.result);
    }
}

// ---- open failures and the port table ---------------------------------------------

TEST_F(SerialTest, FailedOpenReportsAndLeavesTheTableAsItWas) {
    LoopbackPeer peer;
    ClosedPort closed;
    const std::map<std::string, std::string> values{
        {"P", std::to_string(peer.port())},
        {"C", std::to_string(closed.port())},
        {"C+65536", std::to_string(closed.port() + 65536)},
    };
    struct Case {
        const char* endpoint;
        const char* message;
    };
    const Case cases[] = {
        {"tcp", "serial:300:open of protocol 'tcp' on server '' on port '0' failed\n"},
        {"tcp:", "serial:300:open of protocol 'tcp' on server '' on port '0' failed\n"},
        {"tcp:::", "serial:300:open of protocol 'tcp' on server '' on port '0' failed\n"},
        {"tcp:127.0.0.1", "serial:300:open of protocol 'tcp' on server '127.0.0.1' on port '0' failed\n"},
        {"tcp:127.0.0.1:", "serial:300:open of protocol 'tcp' on server '127.0.0.1' on port '0' failed\n"},
        {"tcp:127.0.0.1:{C}",
         "serial:300:open of protocol 'tcp' on server '127.0.0.1' on port '{C}' failed\n"},
        {"tcpx:127.0.0.1:{C}",
         "serial:300:open of protocol 'tcpx' on server '127.0.0.1' on port '{C}' failed\n"},
        {"tcp:127.0.0.1:{C+65536}",
         "serial:300:open of protocol 'tcp' on server '127.0.0.1' on port '{C+65536}' failed\n"},
        // No digits: port 0, which refuses.
        {"tcp:127.0.0.1:abc", "serial:300:open of protocol 'tcp' on server '127.0.0.1' on port '0' failed\n"},
        // A digit first means a dotted address; this one converts to all bits
        // set, which the kernel refuses to connect to.
        {"tcp:1localhost:{P}",
         "serial:300:open of protocol 'tcp' on server '1localhost' on port '{P}' failed\n"},
        // Capitals are a device path, even with a peer listening.
        {"TCP:127.0.0.1:{P}",
         "serial:330:err: openPort: could not open \"TCP:127.0.0.1:{P}\": No such file or directory\n"},
        {"tc", "serial:330:err: openPort: could not open \"tc\": No such file or directory\n"},
        {"", "serial:330:err: openPort: could not open \"\": No such file or directory\n"},
        {"/dev/null",
         "serial:340:err: openPort: could not tcgetattr on \"/dev/null\": Inappropriate ioctl for device\n"},
    };
    // Once with no port of ours in the table, once after an open port.
    for (bool withOpenPort : {false, true}) {
        SCOPED_TRACE(withOpenPort ? "after an open port" : "as the first port of the test");
        int kept = withOpenPort ? openTcp(peer) : 0;
        std::vector<int> expected = fdsBefore();
        if (withOpenPort) expected.push_back(kept);
        for (const Case& c : cases) {
            std::string endpoint = fill(c.endpoint, values);
            SCOPED_TRACE(endpoint);
            int fdsOpen = openFdCount();
            OpenResult opened = attemptOpen(endpoint);
            EXPECT_EQ(opened.result, -1);
            EXPECT_EQ(opened.out, 0);
            EXPECT_EQ(opened.stderrText, fill(c.message, values));
            EXPECT_EQ(opened.stdoutText, "");
            EXPECT_EQ(tableFds(), expected);
            if (expected.empty()) {
                EXPECT_EQ(ports, nullptr);
            }
            EXPECT_EQ(openFdCount(), fdsOpen) << "descriptor left open";
        }
        // A later open appends after what was there.
        LoopbackPeer nextPeer;
        int next = openTcp(nextPeer);
        expected.push_back(next);
        EXPECT_EQ(tableFds(), expected);
        closePort(next);
        if (withOpenPort) closePort(kept);
    }
}

TEST_F(SerialTest, PortTableKeepsOpeningOrderAndUnlinksClosedPorts) {
    LoopbackPeer peerA;
    LoopbackPeer peerC;
    PtyPair line;
    int a = openTcp(peerA);
    int out = 0;
    int b = openPort(line.slavePath.c_str(), &out, 9600, 8, 1, "none");
    ASSERT_GT(b, 0);
    int c = openTcp(peerC);
    std::vector<int> base = fdsBefore();
    auto with = [&](std::vector<int> tail) {
        std::vector<int> all = base;
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    EXPECT_EQ(tableFds(), with({a, b, c}));
    if (base.empty()) {
        EXPECT_EQ(ports, recordOf(a));
    }
    EXPECT_EQ(recordOf(b)->isTcp, 0);
    EXPECT_EQ(recordOf(c)->next, nullptr);

    EXPECT_EQ(attemptOpen("/nonexistent/tty").result, -1);
    EXPECT_EQ(tableFds(), with({a, b, c}));

    // Middle, then first, then last: every link is mended.
    EXPECT_EQ(closePort(b), 0);
    EXPECT_EQ(tableFds(), with({a, c}));
    EXPECT_EQ(closePort(a), 0);
    EXPECT_EQ(tableFds(), with({c}));
    if (base.empty()) {
        EXPECT_EQ(ports, recordOf(c));
    }
    int d = openTcp(peerA);
    EXPECT_EQ(tableFds(), with({c, d}));
    EXPECT_EQ(closePort(d), 0);
    EXPECT_EQ(closePort(c), 0);
    EXPECT_EQ(tableFds(), base);
    if (base.empty()) {
        EXPECT_EQ(ports, nullptr);
    }

    // The descriptor itself is gone too.
    EXPECT_EQ(closePort(c), -1);
}

TEST_F(SerialTest, CallsOnADescriptorWithoutRecordFail) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    LoopbackPeer peer;
    int closedPort = openTcp(peer);
    closePort(closedPort);

    struct Call {
        const char* name;
        std::function<int(int)> run;
    };
    const Call calls[] = {
        {"sendStr", [](int fd) { return sendStr(fd, "CLR\r"); }},
        {"flushSend", [](int fd) { return flushSend(fd); }},
        {"flushRecv", [](int fd) { return flushRecv(fd); }},
        {"openLogFile", [](int fd) { return openLogFile(fd, "orphan"); }},
        {"closeLogFile", [](int fd) { return closeLogFile(fd); }},
    };
    TempCwd cwd;
    for (int fd : {pipeFds[1], closedPort, 0}) {
        for (const Call& call : calls) {
            SCOPED_TRACE(::testing::Message() << call.name << " fd=" << fd);
            CaptureFd err(2);
            EXPECT_EQ(call.run(fd), -1);
            EXPECT_EQ(err.finish(), "serial:90:err: " + std::string(call.name) +
                                        ": no open port with fd=" + std::to_string(fd) + "\n");
        }
    }
    // Nothing was written to the pipe and no log file was made.
    EXPECT_EQ(pendingBytes(pipeFds[0]), 0);
    EXPECT_TRUE(cwd.files().empty());
    close(pipeFds[0]);
    close(pipeFds[1]);
}

// ---- receive -------------------------------------------------------------------

TEST_F(SerialTest, RecvTimeOutTouchesOnlyTheFirstByte) {
    struct Case {
        int quiet;
        const char* progress;
    };
    const Case cases[] = {{0, "calling select\nno bytes ready\n"}, {1, ""}};
    LoopbackPeer peer;
    int fd = openTcp(peer);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.quiet);
        QUIET_PORT_PROGRESS = c.quiet;
        char buf[16];
        memset(buf, 'x', sizeof buf);
        RecvResult got = recvCaptured(fd, buf, 15);
        EXPECT_EQ(got.result, 0);
        EXPECT_EQ(got.stdoutText, c.progress);
        EXPECT_EQ(got.stderrText, "");
        EXPECT_EQ(buf[0], '\0');
        EXPECT_EQ(std::string(buf + 1, 15), std::string(15, 'x'));
    }
}

TEST_F(SerialTest, RecvReturnsTheReplyAndZeroesUpToLen) {
    struct Case {
        int quiet;
        const char* progress;
    };
    const Case cases[] = {{0, "calling select\nselect returned 1\n"}, {1, ""}};
    LoopbackPeer peer;
    int fd = openTcp(peer);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.quiet);
        QUIET_PORT_PROGRESS = c.quiet;
        ASSERT_TRUE(peer.send("hello\r\n"));
        char buf[21];
        memset(buf, 'x', sizeof buf);
        RecvResult got = recvCaptured(fd, buf, 20);
        EXPECT_EQ(got.result, 7);
        EXPECT_EQ(got.stdoutText, c.progress);
        EXPECT_EQ(got.stderrText, "");
        EXPECT_EQ(std::string(buf, 7), "hello\r\n");
        EXPECT_EQ(std::string(buf + 7, 13), std::string(13, '\0'));
        EXPECT_EQ(buf[20], 'x') << "wrote past len";
    }
}

TEST_F(SerialTest, RecvReturnsAtMostLenAndLaterCallsGetTheRest) {
    LoopbackPeer peer;
    int fd = openTcp(peer);
    ASSERT_TRUE(peer.send("0123456789"));
    ASSERT_TRUE(waitUntil([&] { return pendingBytes(fd) == 10; }));
    QUIET_PORT_PROGRESS = 1;
    const char* parts[] = {"0123", "4567", "89"};
    for (const char* part : parts) {
        char buf[5];
        memset(buf, 'x', sizeof buf);
        int count = recvStr(fd, buf, 4);
        EXPECT_EQ(count, static_cast<int>(strlen(part)));
        EXPECT_EQ(std::string(buf, static_cast<std::size_t>(count)), part);
        EXPECT_EQ(buf[4], 'x');
    }
}

// One piece of what an instrument sends, delay after the previous one.
struct Piece {
    std::chrono::milliseconds after;
    std::string bytes;
};

std::vector<Piece> byteByByte(const std::string& text, std::chrono::milliseconds apart) {
    std::vector<Piece> pieces;
    for (char c : text) pieces.push_back({apart, std::string(1, c)});
    return pieces;
}

// Sends pieces from a thread of its own, each after its delay.
class PacedSender {
   public:
    PacedSender(std::function<bool(const std::string&)> send, std::vector<Piece> pieces)
        : thread_([send, pieces] {
              for (const Piece& piece : pieces) {
                  std::this_thread::sleep_for(piece.after);
                  EXPECT_TRUE(send(piece.bytes));
              }
          }) {}
    ~PacedSender() { thread_.join(); }
    PacedSender(const PacedSender&) = delete;
    PacedSender& operator=(const PacedSender&) = delete;

   private:
    std::thread thread_;
};

const std::chrono::milliseconds QUIET_GAP{RECV_QUIET_GAP_MS};

TEST_F(SerialTest, RecvGathersAReplyThatArrivesInPieces) {
    const std::string reply = std::string(74, 'A') + "00\n";
    struct Case {
        const char* name;
        std::vector<Piece> pieces;
        int len;
        std::vector<std::string> calls;  // what each receive returns
    };
    const std::vector<Case> cases{
        {"one piece", {{0ms, reply}}, 80, {reply}},
        // As a device server at its defaults forwards it: a full buffer, then
        // the rest when the line has been quiet for a moment.
        {"64 bytes, then 13 a few ms later",
         {{0ms, reply.substr(0, 64)}, {15ms, reply.substr(64)}},
         80,
         {reply}},
        {"byte by byte at line speed", byteByByte(reply, 1ms), 80, {reply}},
        {"pieces up to len, the rest next time",
         {{0ms, "01"}, {5ms, "23"}, {5ms, "45"}, {5ms, "67"}, {5ms, "89"}},
         4,
         {"0123", "4567", "89"}},
        // A tail that comes well after the gap is not part of the reply.
        {"tail long after the gap",
         {{0ms, reply.substr(0, 40)}, {QUIET_GAP * 6, reply.substr(40)}},
         80,
         {reply.substr(0, 40), reply.substr(40)}},
    };
    for (const char* channel : {"tcp", "serial line"}) {
        const bool serial = channel[0] == 's';
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << channel << ": " << c.name);
            // The far end: a loopback peer, or the master of a pseudo-terminal.
            std::unique_ptr<LoopbackPeer> peer;
            std::unique_ptr<PtyPair> line;
            std::function<bool(const std::string&)> send;
            int fd = 0;
            if (serial) {
                line = std::make_unique<PtyPair>();
                int out = 0;
                fd = openPort(line->slavePath.c_str(), &out, 9600, 8, 1, "none");
                send = [&line](const std::string& bytes) {
                    return write(line->master, bytes.data(), bytes.size()) ==
                           static_cast<ssize_t>(bytes.size());
                };
            } else {
                peer = std::make_unique<LoopbackPeer>();
                fd = openTcp(*peer);
                send = [&peer](const std::string& bytes) { return peer->send(bytes); };
            }
            ASSERT_GT(fd, 0);
            PacedSender sender(send, c.pieces);
            for (const std::string& expected : c.calls) {
                std::vector<char> buf(static_cast<std::size_t>(c.len) + 1, 'x');
                RecvResult got = recvCaptured(fd, buf.data(), c.len);
                EXPECT_EQ(got.result, static_cast<int>(expected.size()));
                if (got.result > 0) {
                    EXPECT_EQ(std::string(buf.data(), static_cast<std::size_t>(got.result)), expected);
                }
                EXPECT_EQ(buf[static_cast<std::size_t>(c.len)], 'x') << "wrote past len";
                // The extra waits print nothing.
                EXPECT_EQ(got.stdoutText, "calling select\nselect returned 1\n");
                EXPECT_EQ(got.stderrText, "");
            }
            closePort(fd);
        }
    }
}

TEST_F(SerialTest, RecvStopsGatheringTwoSecondsAfterTheFirstByte) {
    // A line that never falls quiet: a byte every 20 ms for 6 seconds.
    LoopbackPeer peer;
    int fd = openTcp(peer);
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    constexpr int BYTES = 300;
    std::thread sender([&] {
        for (int i = 0; i < BYTES && !stop; ++i) {
            if (peer.send("z")) ++sent;
            std::this_thread::sleep_for(20ms);
        }
    });
    QUIET_PORT_PROGRESS = 1;
    std::vector<char> buf(BYTES + 1);
    int got = recvStr(fd, buf.data(), BYTES);
    const int sentByThen = sent.load();
    stop = true;
    sender.join();
    EXPECT_GT(got, 1);
    EXPECT_LT(got, BYTES);
    EXPECT_LT(sentByThen, BYTES) << "the receive lasted as long as the stream";
}

// End of file after part of a reply ends the gathering without a word; the
// next receive meets it and reports it.
TEST_F(SerialTest, RecvReturnsTheBytesBeforeAnEndOfFile) {
    LoopbackPeer peer;
    int fd = openTcp(peer);
    ASSERT_TRUE(peer.send("@A"));
    std::thread closer([&] {
        std::this_thread::sleep_for(10ms);
        peer.send("1\n");
        peer.closeConnection();
    });
    char buf[9];
    memset(buf, 'x', sizeof buf);
    RecvResult first = recvCaptured(fd, buf, 8);
    closer.join();
    EXPECT_EQ(first.result, 4);
    EXPECT_EQ(std::string(buf, 8), std::string("@A1\n") + std::string(4, '\0'));
    EXPECT_EQ(first.stdoutText, "calling select\nselect returned 1\n");
    EXPECT_EQ(first.stderrText, "");

    RecvResult second = recvCaptured(fd, buf, 8);
    EXPECT_EQ(second.result, 0);
    EXPECT_EQ(second.stdoutText, "calling select\nselect returned 1\n");
    EXPECT_EQ(second.stderrText, "serial:198:err: recvStr failed with no bytes\n");
}

TEST_F(SerialTest, RecvOnAClosedPeerReportsNoBytes) {
    LoopbackPeer peer;
    int fd = openTcp(peer);
    peer.closeConnection();
    char buf[9];
    memset(buf, 'x', sizeof buf);
    RecvResult got = recvCaptured(fd, buf, 8);
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.stdoutText, "calling select\nselect returned 1\n");
    EXPECT_EQ(got.stderrText, "serial:198:err: recvStr failed with no bytes\n");
    EXPECT_EQ(std::string(buf, 8), std::string(8, '\0'));
    EXPECT_EQ(buf[8], 'x');
}

TEST_F(SerialTest, RecvReportsWaitAndReadErrors) {
    // A directory is always readable, but read() refuses it.
    int dirFd = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirFd, 0);
    // Far above the lowest free number, which the captures take.
    int closedFd = fcntl(dirFd, F_DUPFD, 900);
    close(closedFd);

    struct Case {
        int fd;
        const char* progress;
        const char* message;
        std::size_t zeroed;  // leading bytes of the buffer set to 0
    };
    const Case cases[] = {
        {closedFd, "calling select\n",
         "select returned error: : Bad file descriptor\nserial:186:err: recvStr select failed -1: Bad file "
         "descriptor\n",
         1},
        {dirFd, "calling select\nselect returned 1\n", "serial:199:err: recvStr failed with Is a directory",
         8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        char buf[8];
        memset(buf, 'x', sizeof buf);
        RecvResult got = recvCaptured(c.fd, buf, 8);
        EXPECT_EQ(got.result, -1);
        EXPECT_EQ(got.stdoutText, c.progress);
        EXPECT_EQ(got.stderrText, c.message);
        EXPECT_EQ(std::string(buf, c.zeroed), std::string(c.zeroed, '\0'));
        EXPECT_EQ(std::string(buf + c.zeroed, 8 - c.zeroed), std::string(8 - c.zeroed, 'x'));
    }
    close(dirFd);
}

TEST_F(SerialTest, RecvWaitsOnADescriptorBeyondTheSelectLimit) {
    // Well past the limit: a select-based wait then reads stray bits beyond
    // its set and fails, instead of working by luck just past the edge.
    const rlim_t wanted = 8 * FD_SETSIZE + 1;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit raised = saved;
    if (raised.rlim_cur < wanted) {
        raised.rlim_cur = wanted;
        if (raised.rlim_max < wanted) raised.rlim_max = wanted;
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            raised.rlim_cur = saved.rlim_max;
            raised.rlim_max = saved.rlim_max;
            if (raised.rlim_cur <= FD_SETSIZE || setrlimit(RLIMIT_NOFILE, &raised) != 0) {
                GTEST_SKIP() << "cannot open descriptors beyond FD_SETSIZE";
            }
        }
    }
    const int highFd = static_cast<int>(std::min(raised.rlim_cur, wanted)) - 1;
    LoopbackPeer peer;
    int fd = openTcp(peer);
    ASSERT_EQ(dup2(fd, highFd), highFd);

    QUIET_PORT_PROGRESS = 1;
    ASSERT_TRUE(peer.send("@A1\n"));
    char buf[16];
    EXPECT_EQ(recvStr(highFd, buf, 15), 4);
    EXPECT_STREQ(buf, "@A1\n");

    close(highFd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

// ---- send failures, flush and discard on TCP ------------------------------------------

TEST_F(SerialTest, SendToAClosedPeerFailsWithoutKillingTheProcess) {
    auto previous = signal(SIGPIPE, SIG_DFL);
    LoopbackPeer peer;
    int fd = openTcp(peer);
    peer.closeConnection();
    // Once the peer's FIN is in, its reset to our next send reads as EPIPE.
    pollfd hangup{fd, POLLRDHUP, 0};
    ASSERT_EQ(poll(&hangup, 1, 5000), 1);
    // The first send may still go out until the peer's reset comes back.
    int result = 0;
    std::string lastError;
    EXPECT_TRUE(waitUntil([&] {
        CaptureFd err(2);
        result = sendStr(fd, "@RQ\n");
        lastError = err.finish();
        return result != 0;
    }));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(lastError, "serial:118:err: sendStr wrote -1 of 4 bytes: Broken pipe\n");
    signal(SIGPIPE, previous);
}

// What ends a port's connection, and what does not.
TEST_F(SerialTest, EndedConnectionsAreToldAndTimeOutsAreNot) {
    struct Case {
        const char* name;
        bool peerCloses;
        std::function<int(int fd)> call;
        int ended;
    };
    char buf[20];
    const Case cases[] = {
        {"a receive that times out", false, [&](int fd) { return recvStr(fd, buf, 19); }, 0},
        {"a send that goes", false, [](int fd) { return sendStr(fd, "@RQ\n"); }, 0},
        {"a send after the peer closed", true, [](int fd) { return sendStr(fd, "@RQ\n"); }, 1},
        {"a discard that meets the end of the stream", true, [](int fd) { return discardRecv(fd, 100); }, 1},
        {"a receive that meets the end of the stream", true, [&](int fd) { return recvStr(fd, buf, 19); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackPeer peer;
        int fd = openTcp(peer);
        if (c.peerCloses) {
            peer.closeConnection();
            pollfd hangup{fd, POLLRDHUP, 0};
            ASSERT_EQ(poll(&hangup, 1, 5000), 1);
        }
        CaptureFd out(1);
        CaptureFd err(2);
        c.call(fd);
        err.finish();
        out.finish();
        EXPECT_EQ(portEnded(fd), c.ended);
        if (c.ended == 1) {
            // Nothing more goes out on it, and it says so.
            CaptureFd again(2);
            EXPECT_EQ(sendStr(fd, "ISET 1.0000A\r"), -1);
            EXPECT_EQ(again.finish(),
                      "serial:118:err: sendStr wrote -1 of 13 bytes: Transport endpoint is not connected\n");
        }
        closePort(fd);
    }
    EXPECT_EQ(portEnded(12345), -1);
}

// A listener that accepts but never reads, with the smallest buffers.
struct DeafPeer {
    int listener = -1;
    int client = -1;
    std::string endpoint;
    DeafPeer() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        int size = 1;
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        endpoint = "tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~DeafPeer() {
        if (client >= 0) close(client);
        close(listener);
    }
};

// A peer that stops reading fills the buffers; a send then gives up after
// its deadline instead of blocking, and a connection that took part of a
// text is given up so that the rest is never glued to the next command.
TEST_F(SerialTest, SendToAPeerThatStopsReadingGivesUpAtItsDeadline) {
    struct Case {
        const char* name;
        bool fillFirst;  // fill the buffers before, so that nothing of the text goes
        int ended;
    };
    const Case cases[] = {{"nothing went", true, 0}, {"part went", false, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeafPeer peer;
        int fd = 0;
        ASSERT_GT(openPort(peer.endpoint.c_str(), &fd, 9600, 8, 1, "none"), 0);
        int size = 1;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        peer.client = accept(peer.listener, nullptr, nullptr);
        ASSERT_GE(peer.client, 0);
        if (c.fillFirst) {
            const std::string block(1024, 'F');
            ASSERT_TRUE(waitUntil([&] { return send(fd, block.data(), block.size(), MSG_DONTWAIT) < 0; }));
        }
        const std::string text(c.fillFirst ? 15 : 1 << 20, 'T');
        CaptureFd err(2);
        errno = 0;
        EXPECT_EQ(sendStr(fd, text.c_str()), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
        const std::string said = err.finish();
        std::smatch match;
        ASSERT_TRUE(std::regex_match(said, match,
                                     std::regex(R"(serial:118:err: sendStr wrote (-1|\d+) of (\d+) bytes: )"
                                                R"(Connection timed out\n)")))
            << said;
        EXPECT_EQ(match[1].str() != "-1", c.ended == 1) << said;
        EXPECT_EQ(match[2].str(), std::to_string(text.size()));
        EXPECT_EQ(portEnded(fd), c.ended);
        closePort(fd);
    }
}

// A connect that is never answered (the listener's queue is full, so its
// SYN is dropped) gives up after 2 seconds.
TEST_F(SerialTest, ConnectGivesUpAtItsDeadline) {
    DeafPeer peer;
    ASSERT_EQ(listen(peer.listener, 0), 0);
    const std::string hostPort = peer.endpoint.substr(4);
    const std::string port = hostPort.substr(hostPort.find(':') + 1);
    std::vector<int> queued;
    int sd = -1;
    // Fill the accept queue: connects complete until it is full.
    for (int i = 0; i < 8; ++i) {
        sd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        connect(sd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        queued.push_back(sd);
    }
    errno = 0;
    EXPECT_EQ(connectAtPort("tcp", "127.0.0.1", std::stoi(port)), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    for (int fd : queued) close(fd);
}

TEST_F(SerialTest, FlushRecvOnTcpDiscardsNothing) {
    LoopbackPeer peer;
    int fd = openTcp(peer);
    ASSERT_TRUE(peer.send("stale\r"));
    ASSERT_TRUE(waitUntil([&] { return pendingBytes(fd) == 6; }));
    EXPECT_EQ(flushRecv(fd), 0);
    EXPECT_EQ(flushSend(fd), 0);
    QUIET_PORT_PROGRESS = 1;
    char buf[20];
    EXPECT_EQ(recvStr(fd, buf, 19), 6);
    EXPECT_STREQ(buf, "stale\r");
}

TEST_F(SerialTest, DiscardRecvDropsWhatIsWaitingUpToMax) {
    struct Step {
        int max;
        int dropped;
    };
    struct Case {
        std::size_t waiting;
        bool peerCloses;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {100, false, {{30, 30}, {1000, 70}, {1000, 0}}},
        {1000, false, {{0, 0}, {5000, 1000}}},  // more than one read's worth
        {5, true, {{100, 5}, {100, 0}}},        // end of stream is not an error
        {0, false, {{100, 0}}},                 // nothing waiting: no wait
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.waiting << (c.peerCloses ? " then close" : ""));
        LoopbackPeer peer;
        int fd = openTcp(peer);
        if (c.waiting > 0) {
            ASSERT_TRUE(peer.send(std::string(c.waiting, 'z')));
        }
        ASSERT_TRUE(waitUntil([&] { return pendingBytes(fd) == static_cast<int>(c.waiting); }));
        if (c.peerCloses) {
            peer.closeConnection();
            pollfd hangup{fd, POLLRDHUP, 0};
            ASSERT_EQ(poll(&hangup, 1, 5000), 1);
        }
        for (const Step& step : c.steps)
            EXPECT_EQ(discardRecv(fd, step.max), step.dropped) << "max " << step.max;
        if (!c.peerCloses) {
            ASSERT_TRUE(peer.send("next\r"));
            QUIET_PORT_PROGRESS = 1;
            char buf[20];
            EXPECT_EQ(recvStr(fd, buf, 19), 5);
            EXPECT_STREQ(buf, "next\r");
            QUIET_PORT_PROGRESS = 0;
        }
        closePort(fd);
    }
    int closedFd = fcntl(0, F_DUPFD, 900);
    close(closedFd);
    CaptureFd err(2);
    EXPECT_EQ(discardRecv(closedFd, 10), -1);
}

// ---- serial lines ------------------------------------------------------------

// What a raw line has none of.
constexpr tcflag_t RAW_IFLAG_OFF =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY;
constexpr tcflag_t RAW_OFLAG_OFF = OPOST;
constexpr tcflag_t RAW_LFLAG_OFF = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t RAW_CFLAG_OFF = CRTSCTS;

// Settings a line might have been left with, all unlike what openPort wants:
// a terminal's processing and both kinds of flow control among them.
termios untidySettings(int fd) {
    termios settings{};
    tcgetattr(fd, &settings);
    cfsetispeed(&settings, B300);
    cfsetospeed(&settings, B300);
    settings.c_iflag |= RAW_IFLAG_OFF & ~IGNBRK;
    settings.c_oflag |= OPOST | ONLCR | OCRNL;
    settings.c_lflag |= RAW_LFLAG_OFF;
    settings.c_cflag &= ~(CLOCAL | CREAD);
    settings.c_cflag |= CSTOPB | PARENB | PARODD | CRTSCTS;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
    tcgetattr(fd, &settings);
    return settings;
}

TEST_F(SerialTest, SerialOpenSetsUpARawLine) {
    struct Case {
        int speed;
        speed_t code;
        int databits;
        int stopbits;
        const char* parity;
        bool twoStopBits;
        bool parityOn;
        bool odd;
    };
    const Case cases[] = {
        {9600, B9600, 8, 1, "none", false, false, false},
        {19200, B19200, 7, 2, "EVEN", true, true, false},
        {115200, B115200, 5, 0, "Odd", false, true, true},
        {1200, B1200, 6, 3, "oDD", false, true, true},
        {50, B50, 8, 2, "None", true, false, false},
        {2000000, B2000000, 8, 1, "eVeN", false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.speed << " " << c.databits << c.parity << c.stopbits);
        PtyPair line;
        termios before = untidySettings(line.slave);
        ASSERT_NE(before.c_iflag & IXON, 0u) << "the line starts with flow control";
        OpenResult opened = attemptOpen(line.slavePath, c.speed, c.databits, c.stopbits, c.parity);
        ASSERT_GT(opened.result, 0) << opened.stderrText;
        EXPECT_EQ(opened.out, opened.result);
        EXPECT_EQ(opened.stderrText, "");
        EXPECT_EQ(opened.stdoutText, "");
        PortRecord* record = recordOf(opened.result);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->isTcp, 0);
        EXPECT_EQ(record->logFd, 0);

        // Read back on the far end of the line.
        termios now{};
        ASSERT_EQ(tcgetattr(line.master, &now), 0);
        EXPECT_EQ(cfgetispeed(&now), c.code);
        EXPECT_EQ(cfgetospeed(&now), c.code);
        EXPECT_EQ((now.c_cflag & CSTOPB) != 0, c.twoStopBits);
        // A pseudo-terminal always reports CS8 and no PARENB, whatever was
        // applied; PARODD it keeps.
        if (c.parityOn) {
            EXPECT_EQ((now.c_cflag & PARODD) != 0, c.odd);
        }
        EXPECT_EQ(now.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(now.c_cc[VMIN], 0);
        EXPECT_EQ(now.c_cc[VTIME], 10);
        EXPECT_EQ(now.c_iflag & RAW_IFLAG_OFF, 0u);
        EXPECT_EQ(now.c_oflag & RAW_OFLAG_OFF, 0u);
        EXPECT_EQ(now.c_lflag & RAW_LFLAG_OFF, 0u);
        EXPECT_EQ(now.c_cflag & RAW_CFLAG_OFF, 0u);
        // Nothing else is touched.
        EXPECT_EQ(now.c_iflag, before.c_iflag & ~RAW_IFLAG_OFF);
        EXPECT_EQ(now.c_oflag, before.c_oflag & ~RAW_OFLAG_OFF);
        EXPECT_EQ(now.c_lflag, before.c_lflag & ~RAW_LFLAG_OFF);
        closePort(opened.result);
    }
}

TEST_F(SerialTest, SerialOpenRejectsBadLineSettingsAndLeavesTheLineAlone) {
    struct Case {
        int speed;
        int databits;
        const char* parity;
        const char* message;
    };
    const Case cases[] = {
        {9601, 8, "none", "serial:350:err: openPort: port \"{T}\" has bad speed=9601\n"},
        {0, 8, "none", "serial:350:err: openPort: port \"{T}\" has bad speed=0\n"},
        {-9600, 8, "none", "serial:350:err: openPort: port \"{T}\" has bad speed=-9600\n"},
        {14400, 8, "none", "serial:350:err: openPort: port \"{T}\" has bad speed=14400\n"},
        {9600, 4, "none", "serial:365:err: openPort: port \"{T}\" has bad databits=4\n"},
        {9600, 9, "none", "serial:365:err: openPort: port \"{T}\" has bad databits=9\n"},
        {9600, 0, "even", "serial:365:err: openPort: port \"{T}\" has bad databits=0\n"},
        {9600, 8, "MARK", "serial:378:err: openPort: port \"{T}\" has bad parity=MARK\n"},
        {9600, 8, "", "serial:378:err: openPort: port \"{T}\" has bad parity=\n"},
        {9600, 8, "non", "serial:378:err: openPort: port \"{T}\" has bad parity=non\n"},
        {9600, 8, "nonee", "serial:378:err: openPort: port \"{T}\" has bad parity=nonee\n"},
        {9600, 8, "odd ", "serial:378:err: openPort: port \"{T}\" has bad parity=odd \n"},
    };
    PtyPair line;
    termios before = untidySettings(line.slave);
    std::vector<int> expected = fdsBefore();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        int fdsOpen = openFdCount();
        OpenResult opened = attemptOpen(line.slavePath, c.speed, c.databits, 1, c.parity);
        EXPECT_EQ(opened.result, -1);
        EXPECT_EQ(opened.out, 0);
        EXPECT_EQ(opened.stderrText, fill(c.message, {{"T", line.slavePath}}));
        EXPECT_EQ(tableFds(), expected);
        EXPECT_EQ(openFdCount(), fdsOpen) << "line left open";

        termios now{};
        ASSERT_EQ(tcgetattr(line.slave, &now), 0);
        EXPECT_EQ(cfgetospeed(&now), cfgetospeed(&before));
        EXPECT_EQ(now.c_cflag, before.c_cflag);
        EXPECT_EQ(now.c_iflag, before.c_iflag);
        EXPECT_EQ(now.c_lflag, before.c_lflag);
        EXPECT_EQ(now.c_cc[VMIN], before.c_cc[VMIN]);
    }
}

// Opens the line of a pty pair whose settings were left untidy first, as
// the charger opens its instruments; the port's descriptor.
int openUntidyLine(const PtyPair& line) {
    untidySettings(line.slave);
    int out = 0;
    return openPort(line.slavePath.c_str(), &out, 9600, 8, 1, "none");
}

TEST_F(SerialTest, SerialLinePassesBytesUnchangedBothWays) {
    PtyPair line;
    const int fd = openUntidyLine(line);
    ASSERT_GT(fd, 0);
    QUIET_PORT_PROGRESS = 1;

    // Line ends, flow-control, signal and editing characters and the eighth
    // bit: none is translated, stripped, echoed or acted on.
    const std::string texts[] = {
        "CLR\r",
        "@RQ\n",
        "AB\r\nCD\n\r",
        "\x11\x13\x03\x1a\x1c\x7f\x08\x15\x17\x16\x12\x0f\x04",
        "\xc1\xff\x80\x93",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(::testing::PrintToString(text));
        EXPECT_EQ(sendStr(fd, text.c_str()), 0);
        EXPECT_EQ(line.readMaster(text.size()), text);
        ASSERT_EQ(write(line.master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        char buf[32];
        EXPECT_EQ(recvStr(fd, buf, 31), static_cast<int>(text.size()));
        EXPECT_EQ(std::string(buf), text);
        // Nothing came back to the far end.
        EXPECT_EQ(line.readMaster(1, 50ms), "");
    }

    // Input waiting on the line is thrown away by flushRecv.
    ASSERT_EQ(write(line.master, "stale", 5), 5);
    ASSERT_TRUE(waitUntil([&] { return pendingBytes(fd) == 5; }));
    EXPECT_EQ(flushRecv(fd), 0);
    EXPECT_EQ(pendingBytes(fd), 0);
    ASSERT_EQ(write(line.master, "fresh\r", 6), 6);
    char buf[32];
    EXPECT_EQ(recvStr(fd, buf, 31), 6);
    EXPECT_STREQ(buf, "fresh\r");

    ASSERT_EQ(write(line.master, "0123456789", 10), 10);
    ASSERT_TRUE(waitUntil([&] { return pendingBytes(fd) == 10; }));
    EXPECT_EQ(discardRecv(fd, 4), 4);
    EXPECT_EQ(discardRecv(fd, 100), 6);
    EXPECT_EQ(discardRecv(fd, 100), 0);
}

// An XOFF byte from the instrument is data: the port's writes go on.
TEST_F(SerialTest, XoffFromTheFarEndDoesNotStopSending) {
    PtyPair line;
    const int fd = openUntidyLine(line);
    ASSERT_GT(fd, 0);
    ASSERT_EQ(write(line.master, "\x13", 1), 1);
    ASSERT_TRUE(waitUntil([&] { return pendingBytes(fd) == 1; }));

    // sendStr waits for the line to drain: on a stopped line for ever, so it
    // runs apart, and an XON frees it should the XOFF have stopped it.
    std::atomic<int> sent{1};
    std::thread sender([&] { sent = sendStr(fd, "@RQ\n"); });
    const std::string got = line.readMaster(4);
    if (got.size() < 4) {
        ASSERT_EQ(write(line.master, "\x11", 1), 1);
    }
    sender.join();
    EXPECT_EQ(got, "@RQ\n") << "the line stopped at the XOFF";
    EXPECT_EQ(sent, 0);

    QUIET_PORT_PROGRESS = 1;
    char buf[8];
    EXPECT_EQ(recvStr(fd, buf, 7), 1);
    EXPECT_EQ(buf[0], '\x13');
}

// ---- send log ------------------------------------------------------------------

TEST_F(SerialTest, SendLogRecordsEveryStringAsSent) {
    TempCwd cwd;
    LoopbackPeer peer;
    int fd = openTcp(peer);
    mode_t mask = umask(022);

    time_t opened = time(nullptr);
    CaptureFd out(1);
    int logFd = openLogFile(fd, "supply");
    std::string announced = out.finish();
    time_t openedBy = time(nullptr);
    umask(mask);
    ASSERT_GT(logFd, 0);
    EXPECT_EQ(recordOf(fd)->logFd, logFd);

    std::vector<std::string> files = cwd.files();
    ASSERT_EQ(files.size(), 1u);
    std::smatch name;
    ASSERT_TRUE(std::regex_match(files[0], name, std::regex("supply_([0-9]+)\\.log"))) << files[0];
    EXPECT_GE(std::stoll(name[1].str()), opened);
    EXPECT_LE(std::stoll(name[1].str()), openedBy);
    EXPECT_EQ(announced, "Opened log file '" + files[0] + "' for port fd=" + std::to_string(fd) + "\n");
    struct stat info {};
    ASSERT_EQ(stat(files[0].c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    time_t from = time(nullptr);
    EXPECT_EQ(sendStr(fd, "CLR\r"), 0);
    EXPECT_EQ(sendStr(fd, ""), 0);
    EXPECT_EQ(sendStr(fd, "VSET 35.9000V\r"), 0);
    time_t to = time(nullptr);
    EXPECT_EQ(maskSeconds(readFile(files[0]), from, to), "S#: CLR\rS#: S#: VSET 35.9000V\r");
    // The empty text adds nothing on the wire.
    EXPECT_TRUE(peer.waitForReceived([](const std::string& got) { return got.size() >= 18; }));
    EXPECT_EQ(peer.received(), "CLR\rVSET 35.9000V\r");

    EXPECT_EQ(closeLogFile(fd), 0);
    EXPECT_EQ(recordOf(fd)->logFd, 0);
    EXPECT_EQ(sendStr(fd, "OUT 0\r"), 0);
    EXPECT_EQ(maskSeconds(readFile(files[0]), from, to), "S#: CLR\rS#: S#: VSET 35.9000V\r");

    CaptureFd err(2);
    EXPECT_EQ(closeLogFile(fd), -1);
    EXPECT_EQ(err.finish(),
              "serial:490:err: closeLogFile: port fd=" + std::to_string(fd) + " has no send log\n");
}

TEST_F(SerialTest, SendLogOfASerialLine) {
    TempCwd cwd;
    PtyPair line;
    int out = 0;
    int fd = openPort(line.slavePath.c_str(), &out, 9600, 8, 1, "none");
    ASSERT_GT(fd, 0);
    CaptureFd announced(1);
    ASSERT_GT(openLogFile(fd, "pack"), 0);
    announced.finish();
    time_t from = time(nullptr);
    EXPECT_EQ(sendStr(fd, "@AC\r"), 0);
    time_t to = time(nullptr);
    EXPECT_EQ(line.readMaster(4), "@AC\r");
    ASSERT_EQ(cwd.files().size(), 1u);
    EXPECT_EQ(maskSeconds(readFile(cwd.files()[0]), from, to), "S#: @AC\r");
}

TEST_F(SerialTest, OpeningASecondSendLogClosesTheFirst) {
    TempCwd cwd;
    LoopbackPeer peer;
    int fd = openTcp(peer);
    CaptureFd out(1);
    ASSERT_GT(openLogFile(fd, "first"), 0);
    EXPECT_EQ(sendStr(fd, "A\r"), 0);
    int fdsOpen = openFdCount();
    ASSERT_GT(openLogFile(fd, "second"), 0);
    EXPECT_EQ(openFdCount(), fdsOpen) << "first log left open";
    EXPECT_EQ(sendStr(fd, "B\r"), 0);
    out.finish();

    std::vector<std::string> files = cwd.files();
    ASSERT_EQ(files.size(), 2u);
    ASSERT_EQ(files[0].rfind("first_", 0), 0u);
    EXPECT_EQ(maskSeconds(readFile(files[0]), 0, time(nullptr)), "S#: A\r");
    EXPECT_EQ(maskSeconds(readFile(files[1]), 0, time(nullptr)), "S#: B\r");

    // Closing the port closes its log too.
    int logFd = recordOf(fd)->logFd;
    EXPECT_EQ(closePort(fd), 0);
    EXPECT_EQ(fcntl(logFd, F_GETFD), -1);
}

TEST_F(SerialTest, SendLogNameMustFitIn256Bytes) {
    TempCwd cwd;
    LoopbackPeer peer;
    int fd = openTcp(peer);
    const std::size_t digits = std::to_string(time(nullptr)).size();
    // "_" + seconds + ".log" follow the name; 255 characters fit with the
    // terminating zero byte, 256 do not.
    const std::string fits(255 - 1 - digits - 4, 'n');
    const std::string tooLong = fits + "n";

    CaptureFd err(2);
    EXPECT_EQ(openLogFile(fd, tooLong.c_str()), -1);
    EXPECT_EQ(err.finish(), "serial:481:openLogFile: cannot create '" + tooLong +
                                "_<seconds>.log' for writing:File name too long\n");
    EXPECT_TRUE(cwd.files().empty());
    EXPECT_EQ(recordOf(fd)->logFd, 0);

    CaptureFd out(1);
    EXPECT_GT(openLogFile(fd, fits.c_str()), 0);
    out.finish();
    ASSERT_EQ(cwd.files().size(), 1u);
    EXPECT_EQ(cwd.files()[0].size(), 255u);
}

TEST_F(SerialTest, FailedSendLogLeavesThePortUsable) {
    TempCwd cwd;
    LoopbackPeer peer;
    int fd = openTcp(peer);
    time_t from = time(nullptr);
    CaptureFd err(2);
    EXPECT_EQ(openLogFile(fd, "missing/supply"), -1);
    std::string message = err.finish();
    time_t to = time(nullptr);
    bool matched = false;
    for (time_t t = from; t <= to; ++t) {
        matched |= message == "serial:481:openLogFile: cannot create 'missing/supply_" + std::to_string(t) +
                                  ".log' for writing:No such file or directory\n";
    }
    EXPECT_TRUE(matched) << message;

    PortRecord* record = recordOf(fd);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->logFd, 0);
    EXPECT_EQ(sendStr(fd, "CLR\r"), 0);
    EXPECT_TRUE(peer.waitForReceived([](const std::string& got) { return got == "CLR\r"; }));
    EXPECT_TRUE(cwd.files().empty());
}

}  // namespace

#include "xfr/xfr.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "peer.h"
#include "serial/serial.h"
#include "util/settings.h"

namespace {

using namespace std::chrono_literals;
using testsupport::CaptureFd;
using testsupport::LoopbackPeer;
using testsupport::PtyPair;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
// What a query's outputs hold before the call, so an untouched output shows.
constexpr double UNTOUCHED = -7.0;

// Sets a process-wide setting for one scope.
class Setting {
   public:
    Setting(int& setting, int value) : setting_(setting), saved_(setting) { setting_ = value; }
    ~Setting() { setting_ = saved_; }

   private:
    int& setting_;
    int saved_;
};

int countOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

bool readableWithin(int fd, std::chrono::milliseconds deadline) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, static_cast<int>(deadline.count())) == 1;
}

// In a scripted answer: the supply pauses here a few milliseconds, as a
// device server forwarding the answer in two pieces would.
constexpr char PAUSE = '|';

// A scripted supply on loopback answering each command from a table, and the
// port the driver talks to it through.
class Supply {
   public:
    explicit Supply(std::map<std::string, std::string> answers = {})
        : peer_(0, [answers](LoopbackPeer& peer, const std::string& command) {
              auto found = answers.find(command);
              if (found == answers.end()) return;
              const std::string& answer = found->second;
              const std::size_t pause = answer.find(PAUSE);
              peer.send(answer.substr(0, pause));
              if (pause == std::string::npos) return;
              std::this_thread::sleep_for(15ms);
              peer.send(answer.substr(pause + 1));
          }) {
        openPort(peer_.endpoint().c_str(), &fd_, 9600, 8, 1, "none");
    }
    ~Supply() {
        if (fd_ > 0) closePort(fd_);
    }

    int fd() const { return fd_; }
    LoopbackPeer& peer() { return peer_; }

    // Everything the supply has received. A marker sent last and waited for
    // makes sure nothing the driver sent is still on its way.
    std::string received() {
        const std::string marker = "#END#\r";
        EXPECT_EQ(sendStr(fd_, marker.c_str()), 0);
        EXPECT_TRUE(peer_.waitForReceived([&](const std::string& bytes) {
            return bytes.size() >= marker.size() && bytes.ends_with(marker);
        }));
        std::string bytes = peer_.received();
        return bytes.substr(0, bytes.size() - marker.size());
    }

   private:
    LoopbackPeer peer_;
    int fd_ = 0;
};

// Replaces the port's descriptor by one end of a socket pair whose other end
// is closed: every send fails with EPIPE, as on a connection the supply has
// dropped.
void breakSends(int fd) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    close(pair[1]);
    ASSERT_EQ(dup2(pair[0], fd), fd);
    close(pair[0]);
}

// ---------------------------------------------------------------------------
// Commands

struct CommandCase {
    const char* label;
    std::function<int(int)> call;
    int result;
    const char* sent;
    const char* messages;
};

TEST(XfrCommands, SendTheirTextsOrRejectOutOfRangeValuesWithTheirMessages) {
    const CommandCase cases[] = {
        {"init", [](int fd) { return xfrInit(fd); }, 0, "CLR\r", ""},
        {"enable", [](int fd) { return xfrEnableOutput(fd); }, 0, "OUT 1\r", ""},
        {"disable", [](int fd) { return xfrDisableOutput(fd); }, 0, "OUT 0\r", ""},
        {"reset", [](int fd) { return xfrReset(fd); }, 0, "RST\r", ""},
        {"trigger", [](int fd) { return xfrTrigger(fd); }, 0, "TRG\r", ""},

        {"ovset 0", [](int fd) { return xfrOverVoltSet(fd, 0.0); }, 0, "OVSET 0.0000V\r", ""},
        {"ovset limit", [](int fd) { return xfrOverVoltSet(fd, 45.0); }, 0, "OVSET 45.0000V\r", ""},
        {"ovset above", [](int fd) { return xfrOverVoltSet(fd, 45.00001); }, -1, "",
         "xfr:45:err: xfrOverVoltSet(45.000010) > 45.000000\n"},
        {"ovset below 0", [](int fd) { return xfrOverVoltSet(fd, -0.5); }, -1, "",
         "xfr:45:err: xfrOverVoltSet(-0.500000) > 45.000000\n"},
        {"ovset +inf", [](int fd) { return xfrOverVoltSet(fd, INF); }, -1, "",
         "xfr:45:err: xfrOverVoltSet(inf) > 45.000000\n"},
        {"ovset nan", [](int fd) { return xfrOverVoltSet(fd, NaN); }, 0, "OVSET nanV\r", ""},

        {"vmax 0", [](int fd) { return xfrVMax(fd, 0.0); }, 0, "VMAX 0.0000V\r", ""},
        {"vmax limit", [](int fd) { return xfrVMax(fd, 45.0); }, 0, "VMAX 45.0000V\r", ""},
        {"vmax above", [](int fd) { return xfrVMax(fd, 45.1); }, -1, "",
         "xfr:73:err: xfrVMax(45.100000) > 45.000000\n"},
        {"vmax below 0", [](int fd) { return xfrVMax(fd, -1e-9); }, -1, "",
         "xfr:73:err: xfrVMax(-0.000000) > 45.000000\n"},
        {"vmax -inf", [](int fd) { return xfrVMax(fd, -INF); }, -1, "",
         "xfr:73:err: xfrVMax(-inf) > 45.000000\n"},
        {"vmax nan", [](int fd) { return xfrVMax(fd, NaN); }, 0, "VMAX nanV\r", ""},

        {"vset charge voltage", [](int fd) { return xfrSetVolts(fd, 35.9); }, 0, "VSET 35.9000V\r", ""},
        {"vset 0", [](int fd) { return xfrSetVolts(fd, 0.0); }, 0, "VSET 0.0000V\r", ""},
        {"vset just below", [](int fd) { return xfrSetVolts(fd, 44.9999); }, 0, "VSET 44.9999V\r", ""},
        // The test applies to the value, not to its four-decimal text.
        {"vset rounds to limit", [](int fd) { return xfrSetVolts(fd, 44.99996); }, 0, "VSET 45.0000V\r", ""},
        {"vset limit", [](int fd) { return xfrSetVolts(fd, 45.0); }, -1, "",
         "xfr:88:err: xfrSetVolts(45.000000) >= 45.000000\n"},
        {"vset below 0", [](int fd) { return xfrSetVolts(fd, -0.0001); }, -1, "",
         "xfr:88:err: xfrSetVolts(-0.000100) >= 45.000000\n"},
        {"vset +inf", [](int fd) { return xfrSetVolts(fd, INF); }, -1, "",
         "xfr:88:err: xfrSetVolts(inf) >= 45.000000\n"},
        {"vset nan", [](int fd) { return xfrSetVolts(fd, NaN); }, 0, "VSET nanV\r", ""},

        {"imax 0", [](int fd) { return xfrIMax(fd, 0.0); }, 0, "IMAX 0.0000A\r", ""},
        {"imax limit", [](int fd) { return xfrIMax(fd, 60.0); }, 0, "IMAX 60.0000A\r", ""},
        {"imax above", [](int fd) { return xfrIMax(fd, 60.000001); }, -2, "",
         "xfr:101:Assertion failed on line 101 in file xfr\n"},
        {"imax below 0", [](int fd) { return xfrIMax(fd, -1e-9); }, -2, "",
         "xfr:101:Assertion failed on line 101 in file xfr\n"},
        {"imax nan", [](int fd) { return xfrIMax(fd, NaN); }, -2, "",
         "xfr:101:Assertion failed on line 101 in file xfr\n"},
        {"imax +inf", [](int fd) { return xfrIMax(fd, INF); }, -2, "",
         "xfr:101:Assertion failed on line 101 in file xfr\n"},

        {"iset 0", [](int fd) { return xfrSetCurrent(fd, 0.0); }, 0, "ISET 0.0000A\r", ""},
        {"iset stage", [](int fd) { return xfrSetCurrent(fd, 22.5); }, 0, "ISET 22.5000A\r", ""},
        {"iset limit", [](int fd) { return xfrSetCurrent(fd, 60.0); }, 0, "ISET 60.0000A\r", ""},
        {"iset above", [](int fd) { return xfrSetCurrent(fd, 60.0001); }, -2, "",
         "xfr:112:Assertion failed on line 112 in file xfr\n"},
        {"iset below 0", [](int fd) { return xfrSetCurrent(fd, -0.5); }, -2, "",
         "xfr:112:Assertion failed on line 112 in file xfr\n"},
        {"iset nan", [](int fd) { return xfrSetCurrent(fd, NaN); }, -2, "",
         "xfr:112:Assertion failed on line 112 in file xfr\n"},
        {"iset -inf", [](int fd) { return xfrSetCurrent(fd, -INF); }, -2, "",
         "xfr:112:Assertion failed on line 112 in file xfr\n"},
    };
    Supply supply;
    ASSERT_GT(supply.fd(), 0);
    std::string expectedBytes;
    for (const CommandCase& c : cases) {
        CaptureFd err(2);
        EXPECT_EQ(c.call(supply.fd()), c.result) << c.label;
        EXPECT_EQ(err.finish(), c.messages) << c.label;
        expectedBytes += c.sent;
    }
    // Rejected values leave no trace on the wire, not even a partial text.
    EXPECT_EQ(supply.received(), expectedBytes);
}

// ---------------------------------------------------------------------------
// Queries answered by a scripted supply

struct QueryCase {
    const char* label;
    // Runs the query with outputs preset to UNTOUCHED and returns the outputs.
    std::function<int(int fd, std::vector<double>* outputs)> call;
    std::map<std::string, std::string> answers;
    int result;
    std::vector<double> outputs;
    const char* sent;
    const char* trace;  // standard error with DEBUG_LEVEL 1
};

std::function<int(int, std::vector<double>*)> doubleQuery(int (*query)(int, double*)) {
    return [query](int fd, std::vector<double>* outputs) {
        double value = UNTOUCHED;
        int result = query(fd, &value);
        *outputs = {value};
        return result;
    };
}

std::function<int(int, std::vector<double>*)> intQuery(int (*query)(int, int*)) {
    return [query](int fd, std::vector<double>* outputs) {
        int value = static_cast<int>(UNTOUCHED);
        int result = query(fd, &value);
        *outputs = {static_cast<double>(value)};
        return result;
    };
}

int statusQuery(int fd, std::vector<double>* outputs) {
    int asts = static_cast<int>(UNTOUCHED);
    int sts = asts;
    int fault = asts;
    int result = xfrGetStatus(fd, &asts, &sts, &fault);
    *outputs = {static_cast<double>(asts), static_cast<double>(sts), static_cast<double>(fault)};
    return result;
}

TEST(XfrQueries, ParseWhatTheSupplyAnswersAtOnce) {
    const QueryCase cases[] = {
        {"iout",
         doubleQuery(xfrGetIOut),
         {{"IOUT?\r", "IOUT 12.5\r"}},
         1,
         {12.5},
         "IOUT?\r",
         "xfrGetIOut = 12.500000, sscanf returned 1\n"},
        {"iset",
         doubleQuery(xfrGetISet),
         {{"ISET?\r", "ISET 45.0000\r"}},
         1,
         {45.0},
         "ISET?\r",
         "xfrGetISet = 45.000000, sscanf returned 1\n"},
        {"out",
         intQuery(xfrGetOut),
         {{"OUT?\r", "OUT 1\r"}},
         1,
         {1},
         "OUT?\r",
         "xfrGetOut = 1, sscanf returned 1\n"},
        {"vout",
         doubleQuery(xfrGetVOut),
         {{"VOUT?\r", "VOUT 35.9000\r"}},
         1,
         {35.9},
         "VOUT?\r",
         "xfrGetVout = 35.900000, sscanf returned 1\n"},
        {"vset",
         doubleQuery(xfrGetVSet),
         {{"VSET?\r", "VSET 0\r"}},
         1,
         {0.0},
         "VSET?\r",
         "xfrGetVset = 0.000000, sscanf returned 1\n"},
        {"err",
         intQuery(xfrGetErr),
         {{"ERR?\r", "ERR -3\r"}},
         1,
         {-3},
         "ERR?\r",
         "xfrGetErr = -3, sscanf returned 1\n"},
        {"status",
         statusQuery,
         {{"ASTS?\r", "ASTS 5\r"}, {"STS?\r", "STS 0\r"}, {"FAULT?\r", "FAULT 16\r"}},
         1,
         {5, 0, 16},
         "ASTS?\rSTS?\rFAULT?\r",
         "xfrGetStatus = 5, sscanf returned 1\nxfrGetStatus = 0, sscanf returned 1\n"
         "xfrGetStatus = 16, sscanf returned 1\n"},
        // Only the third register decides the result.
        {"status, first two unparsed",
         statusQuery,
         {{"ASTS?\r", "STS 1\r"}, {"STS?\r", "STS \r"}, {"FAULT?\r", "FAULT 3\r"}},
         1,
         {UNTOUCHED, UNTOUCHED, 3},
         "ASTS?\rSTS?\rFAULT?\r",
         "xfrGetStatus = -7, sscanf returned 0\nxfrGetStatus = -7, sscanf returned -1\n"
         "xfrGetStatus = 3, sscanf returned 1\n"},
        {"status, fault unparsed",
         statusQuery,
         {{"ASTS?\r", "ASTS 1\r"}, {"STS?\r", "STS 2\r"}, {"FAULT?\r", "ERR 0\r"}},
         0,
         {1, 2, UNTOUCHED},
         "ASTS?\rSTS?\rFAULT?\r",
         "xfrGetStatus = 1, sscanf returned 1\nxfrGetStatus = 2, sscanf returned 1\n"
         "xfrGetStatus = -7, sscanf returned 0\n"},
        {"white space between mnemonic and value",
         doubleQuery(xfrGetIOut),
         {{"IOUT?\r", "IOUT\t  7.25\r\n"}},
         1,
         {7.25},
         "IOUT?\r",
         "xfrGetIOut = 7.250000, sscanf returned 1\n"},
        // Any answer ends the attempts, even one to another query.
        {"another query's answer",
         doubleQuery(xfrGetIOut),
         {{"IOUT?\r", "VOUT 1.0\r"}},
         0,
         {UNTOUCHED},
         "IOUT?\r",
         "xfrGetIOut = -7.000000, sscanf returned 0\n"},
        {"mnemonic in lower case",
         intQuery(xfrGetOut),
         {{"OUT?\r", "out 1\r"}},
         0,
         {UNTOUCHED},
         "OUT?\r",
         "xfrGetOut = -7, sscanf returned 0\n"},
        // An answer that comes in pieces is read whole.
        {"answer split before its number",
         doubleQuery(xfrGetIOut),
         {{"IOUT?\r", "IOUT |12.5\r"}},
         1,
         {12.5},
         "IOUT?\r",
         "xfrGetIOut = 12.500000, sscanf returned 1\n"},
        {"answer split inside its number",
         doubleQuery(xfrGetIOut),
         {{"IOUT?\r", "IOUT 12|.75\r"}},
         1,
         {12.75},
         "IOUT?\r",
         "xfrGetIOut = 12.750000, sscanf returned 1\n"},
        {"answer cut short before its number",
         doubleQuery(xfrGetIOut),
         {{"IOUT?\r", "IOUT "}},
         -1,
         {UNTOUCHED},
         "IOUT?\r",
         "xfrGetIOut = -7.000000, sscanf returned -1\n"},
        // 20 bytes fill the answer buffer; the digits after them are not
        // part of this receive and must not be parsed.
        {"answer longer than 20 bytes",
         doubleQuery(xfrGetIOut),
         {{"IOUT?\r", "IOUT 12345678901.23456\r"}},
         1,
         {12345678901.234},
         "IOUT?\r",
         "xfrGetIOut = 12345678901.233999, sscanf returned 1\n"},
        {"int answer of 20 bytes",
         intQuery(xfrGetErr),
         {{"ERR?\r", "ERR 0000000000000042"}},
         1,
         {42},
         "ERR?\r",
         "xfrGetErr = 42, sscanf returned 1\n"},
    };
    Setting quiet(QUIET_PORT_PROGRESS, 1);
    for (const QueryCase& c : cases) {
        Supply supply(c.answers);
        ASSERT_GT(supply.fd(), 0) << c.label;
        std::vector<double> outputs;
        CaptureFd err(2);
        int result;
        {
            Setting debug(DEBUG_LEVEL, 1);
            result = c.call(supply.fd(), &outputs);
        }
        EXPECT_EQ(err.finish(), c.trace) << c.label;
        EXPECT_EQ(result, c.result) << c.label;
        EXPECT_EQ(outputs, c.outputs) << c.label;
        EXPECT_EQ(supply.received(), c.sent) << c.label;
    }
}

TEST(XfrQueries, RetrySilentAttemptsAndParseTheFourthAnswer) {
    int queries = 0;
    LoopbackPeer::Responder lateSupply = [&queries](LoopbackPeer& peer, const std::string& command) {
        if (command == "IOUT?\r" && ++queries == 4) peer.send("IOUT 3.5\r");
    };
    Supply supply;
    supply.peer().setResponder(lateSupply);
    double amperes = UNTOUCHED;
    CaptureFd out(1);
    CaptureFd err(2);
    int result = xfrGetIOut(supply.fd(), &amperes);
    std::string errText = err.finish();
    std::string outText = out.finish();

    EXPECT_EQ(result, 1);
    EXPECT_EQ(amperes, 3.5);
    EXPECT_EQ(supply.received(), "IOUT?\rIOUT?\rIOUT?\rIOUT?\r");
    EXPECT_EQ(countOf(outText, "calling select\n"), 4);
    EXPECT_EQ(countOf(outText, "no bytes ready\n"), 3);
    EXPECT_EQ(errText, "");
}

// The slow case: each of the 10 attempts waits the port layer's 2 seconds.
TEST(XfrQueries, StatusStoresTheRegistersAnsweredAndGivesUpOnSilenceAfterTenAttempts) {
    Supply supply({{"ASTS?\r", "ASTS 7\r"}, {"STS?\r", "STS 3\r"}});
    int asts = -1;
    int sts = -1;
    int fault = -1;
    CaptureFd out(1);
    CaptureFd err(2);
    int result = xfrGetStatus(supply.fd(), &asts, &sts, &fault);
    std::string errText = err.finish();
    std::string outText = out.finish();

    EXPECT_EQ(result, -1);
    EXPECT_EQ(asts, 7);
    EXPECT_EQ(sts, 3);
    EXPECT_EQ(fault, -1);
    std::string faults;
    for (int i = 0; i < 10; ++i) faults += "FAULT?\r";
    EXPECT_EQ(supply.received(), "ASTS?\rSTS?\r" + faults);
    EXPECT_EQ(countOf(outText, "no bytes ready\n"), 10);
    EXPECT_EQ(errText, "");
}

// Over TCP nothing is discarded before a query: an answer left waiting from
// an earlier exchange is parsed as the answer of the next query, from a supply
// that answers nothing now.
TEST(XfrQueries, OverTcpAnAnswerLeftWaitingIsTakenByTheNextQuery) {
    struct StaleCase {
        const char* waiting;
        int result;
        double amperes;
    };
    const StaleCase cases[] = {
        {"IOUT 1.5\r", 1, 1.5},
        {"VOUT 20.0\r", 0, UNTOUCHED},
    };
    Setting quiet(QUIET_PORT_PROGRESS, 1);
    for (const StaleCase& c : cases) {
        Supply supply;
        ASSERT_TRUE(testsupport::waitUntil([&] { return supply.peer().connections() == 1; }));
        ASSERT_TRUE(supply.peer().send(c.waiting));
        ASSERT_TRUE(readableWithin(supply.fd(), 5000ms));
        double amperes = UNTOUCHED;
        EXPECT_EQ(xfrGetIOut(supply.fd(), &amperes), c.result) << c.waiting;
        EXPECT_EQ(amperes, c.amperes) << c.waiting;
        EXPECT_EQ(supply.received(), "IOUT?\r") << c.waiting;
    }
}

// ---------------------------------------------------------------------------
// Send and receive failures

struct SendFailureCase {
    const char* label;
    std::function<int(int fd, std::vector<double>* outputs)> call;
    std::vector<double> outputs;
    const char* messages;
};

TEST(XfrFailures, AFailedSendEndsTheCallWithThePortLayersResultAndTheSendLine) {
    auto command = [](int (*send)(int)) {
        return [send](int fd, std::vector<double>* outputs) {
            outputs->clear();
            return send(fd);
        };
    };
    const SendFailureCase cases[] = {
        {"iout",
         doubleQuery(xfrGetIOut),
         {UNTOUCHED},
         "serial:118:err: sendStr wrote -1 of 6 bytes: Broken pipe\nxfr:131:err: xfrGetIOut: sendStr "
         "returned -1\n"},
        {"iset",
         doubleQuery(xfrGetISet),
         {UNTOUCHED},
         "serial:118:err: sendStr wrote -1 of 6 bytes: Broken pipe\nxfr:160:err: xfrGetISet: sendStr "
         "returned -1\n"},
        {"out",
         intQuery(xfrGetOut),
         {UNTOUCHED},
         "serial:118:err: sendStr wrote -1 of 5 bytes: Broken pipe\nxfr:190:err: xfrGetOut: sendStr returned "
         "-1\n"},
        {"vout",
         doubleQuery(xfrGetVOut),
         {UNTOUCHED},
         "serial:118:err: sendStr wrote -1 of 6 bytes: Broken pipe\nxfr:219:err: xfrGetVout: sendStr "
         "returned -1\n"},
        {"vset",
         doubleQuery(xfrGetVSet),
         {UNTOUCHED},
         "serial:118:err: sendStr wrote -1 of 6 bytes: Broken pipe\nxfr:248:err: xfrGetVset: sendStr "
         "returned -1\n"},
        {"err",
         intQuery(xfrGetErr),
         {UNTOUCHED},
         "serial:118:err: sendStr wrote -1 of 5 bytes: Broken pipe\nxfr:277:err: xfrGetErr: sendStr returned "
         "-1\n"},
        {"status",
         statusQuery,
         {UNTOUCHED, UNTOUCHED, UNTOUCHED},
         "serial:118:err: sendStr wrote -1 of 6 bytes: Broken pipe\n"
         "xfr:307:err: xfrGetStatus: sendStr returned -1\n"},
        // A command adds no message of its own: -1 as for a rejected value.
        {"vset command",
         [](int fd, std::vector<double>* outputs) {
             outputs->clear();
             return xfrSetVolts(fd, 35.9);
         },
         {},
         "serial:118:err: sendStr wrote -1 of 14 bytes: Broken pipe\n"},
        {"clear command", command(xfrInit), {}, "serial:118:err: sendStr wrote -1 of 4 bytes: Broken pipe\n"},
    };
    Setting quiet(QUIET_PORT_PROGRESS, 1);
    for (const SendFailureCase& c : cases) {
        Supply supply;
        ASSERT_GT(supply.fd(), 0) << c.label;
        breakSends(supply.fd());
        std::vector<double> outputs;
        CaptureFd err(2);
        int result;
        {
            // A failed send ends the call before any trace.
            Setting debug(DEBUG_LEVEL, 1);
            result = c.call(supply.fd(), &outputs);
        }
        EXPECT_EQ(err.finish(), c.messages) << c.label;
        EXPECT_EQ(result, -1) << c.label;
        EXPECT_EQ(outputs, c.outputs) << c.label;
    }
}

// The supply takes the ASTS query, stops reading and answers it: the STS
// query then fails to send, and FAULT is never asked.
TEST(XfrFailures, StatusKeepsTheFirstRegisterWhenTheSecondQueryCannotBeSent) {
    Supply supply;
    ASSERT_GT(supply.fd(), 0);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(dup2(pair[0], supply.fd()), supply.fd());
    close(pair[0]);
    std::string asked;
    std::thread supplySide([&asked, end = pair[1]] {
        char buffer[64];
        while (asked.find('\r') == std::string::npos && readableWithin(end, 5000ms)) {
            ssize_t got = read(end, buffer, sizeof buffer);
            if (got <= 0) break;
            asked.append(buffer, static_cast<std::size_t>(got));
        }
        shutdown(end, SHUT_RD);
        const char answer[] = "ASTS 9\r";
        EXPECT_EQ(write(end, answer, sizeof answer - 1), static_cast<ssize_t>(sizeof answer - 1));
    });

    Setting quiet(QUIET_PORT_PROGRESS, 1);
    int asts = -1;
    int sts = -1;
    int fault = -1;
    CaptureFd err(2);
    int result = xfrGetStatus(supply.fd(), &asts, &sts, &fault);
    std::string errText = err.finish();
    supplySide.join();
    close(pair[1]);

    EXPECT_EQ(asked, "ASTS?\r");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(asts, 9);
    EXPECT_EQ(sts, -1);
    EXPECT_EQ(fault, -1);
    EXPECT_EQ(errText,
              "serial:118:err: sendStr wrote -1 of 5 bytes: Broken pipe\n"
              "xfr:328:err: xfrGetStatus: sendStr returned -1\n");
}

// ---------------------------------------------------------------------------
// Serial line

struct SerialPort {
    PtyPair pty;
    int fd = 0;
    SerialPort() { openPort(pty.slavePath.c_str(), &fd, 9600, 8, 1, "none"); }
    ~SerialPort() {
        if (fd > 0) closePort(fd);
    }
};

// On a serial line the input waiting before a query is discarded, so the
// query reads its own answer.
TEST(XfrSerial, AQueryDiscardsStaleInputAndReadsItsAnswer) {
    SerialPort line;
    ASSERT_GT(line.fd, 0);
    const char stale[] = "VOUT 9.9\r";
    ASSERT_EQ(write(line.pty.master, stale, sizeof stale - 1), static_cast<ssize_t>(sizeof stale - 1));
    ASSERT_TRUE(readableWithin(line.fd, 3000ms));

    std::string asked;
    std::thread supplySide([&] {
        asked = line.pty.readMaster(6);
        const char answer[] = "IOUT 3.25\r";
        EXPECT_EQ(write(line.pty.master, answer, sizeof answer - 1), static_cast<ssize_t>(sizeof answer - 1));
    });
    Setting quiet(QUIET_PORT_PROGRESS, 1);
    double amperes = UNTOUCHED;
    CaptureFd err(2);
    int result = xfrGetIOut(line.fd, &amperes);
    std::string errText = err.finish();
    supplySide.join();

    EXPECT_EQ(asked, "IOUT?\r");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(amperes, 3.25);
    EXPECT_EQ(errText, "");
}

struct ReceiveFailureCase {
    const char* label;
    std::function<int(int fd, std::vector<double>* outputs)> call;
    std::vector<double> outputs;
    // The driver's message after each failed read; each exchange has ten.
    std::vector<const char*> messages;
};

// The line is swapped for the master side of a terminal whose other side is
// closed: writes, drains and flushes succeed, every read fails with EIO.
// Without echo nothing written comes back to be read.
TEST(XfrSerial, AReceiveErrorOnEveryAttemptGivesTenMessagesPerExchangeAndNoValue) {
    const ReceiveFailureCase cases[] = {
        {"iout", doubleQuery(xfrGetIOut), {UNTOUCHED}, {"xfr:137:err: xfrGetIOut: recvStr returned -1\n"}},
        {"iset", doubleQuery(xfrGetISet), {UNTOUCHED}, {"xfr:166:err: xfrGetISet: recvStr returned -1\n"}},
        {"out", intQuery(xfrGetOut), {UNTOUCHED}, {"xfr:196:err: xfrGetOut: recvStr returned -1\n"}},
        {"vout", doubleQuery(xfrGetVOut), {UNTOUCHED}, {"xfr:225:err: xfrGetVout: recvStr returned -1\n"}},
        {"vset", doubleQuery(xfrGetVSet), {UNTOUCHED}, {"xfr:254:err: xfrGetVset: recvStr returned -1\n"}},
        {"err", intQuery(xfrGetErr), {UNTOUCHED}, {"xfr:283:err: xfrGetErr: recvStr returned -1\n"}},
        {"status",
         statusQuery,
         {UNTOUCHED, UNTOUCHED, UNTOUCHED},
         {"xfr:313:err: xfrGetStatus: recvStr returned -1\n",
          "xfr:334:err: xfrGetStatus: recvStr returned -1\n",
          "xfr:355:err: xfrGetStatus: recvStr returned -1\n"}},
    };
    Setting quiet(QUIET_PORT_PROGRESS, 1);
    for (const ReceiveFailureCase& c : cases) {
        SerialPort line;
        ASSERT_GT(line.fd, 0) << c.label;
        PtyPair dead;
        termios raw{};
        ASSERT_EQ(tcgetattr(dead.slave, &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(dead.slave, TCSANOW, &raw), 0);
        close(dead.slave);
        dead.slave = -1;
        ASSERT_EQ(dup2(dead.master, line.fd), line.fd);

        std::vector<double> outputs;
        CaptureFd err(2);
        int result = c.call(line.fd, &outputs);
        std::string errText = err.finish();

        EXPECT_EQ(result, -1) << c.label;
        EXPECT_EQ(outputs, c.outputs) << c.label;
        std::string expected;
        for (const char* message : c.messages) {
            for (int i = 0; i < 10; ++i) {
                expected += "serial:199:err: recvStr failed with Input/output error";
                expected += message;
            }
        }
        EXPECT_EQ(errText, expected) << c.label;
    }
}

}  // namespace

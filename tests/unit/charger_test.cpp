#include "charger/charger.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peer.h"
#include "serial/serial.h"

namespace {

using testsupport::CaptureFd;
using testsupport::LoopbackPeer;

// A reply laid out as the pack sends it: 74 hex characters and 3 more.
std::string makeReply(const std::string& gasGauge, const std::string& cell, const std::string& current,
                      const std::string& temp, const std::string& humidity, const std::string& balance,
                      const std::string& tempAlert, const std::string& voltAlert, const std::string& status) {
    std::string reply = gasGauge;
    for (int i = 0; i < 8; ++i) reply += cell;
    reply += current;
    for (int i = 0; i < 9; ++i) reply += temp;
    reply += humidity + balance + tempAlert + voltAlert + status + "\r\n>";
    return reply;
}

std::string baseReply() {
    return makeReply("2710", "0E10", "FF9C", "1E", "33", "FF", "0000", "0001", "8408");
}

// Decodes into a status that starts from known values, so kept fields show.
BatteryStatus decode(const std::string& reply, const BatteryStatus& before) {
    std::vector<char> buffer(REPLY_BUFFER_SIZE, '\0');
    std::copy(reply.begin(), reply.end(), buffer.begin());
    BatteryStatus status = before;
    decodeStatusReply(buffer.data(), &status);
    return status;
}

BatteryStatus marked() {
    BatteryStatus s{};
    s.gasGauge = 1;
    s.cellVoltage.fill(2);
    s.current = 3;
    s.temps.fill(4);
    s.relativeHumidity = 5;
    s.balanceRegister = 6;
    s.tempAlertRegister = 7;
    s.voltAlertRegister = 8;
    s.statusRegister = 9;
    return s;
}

// What one of the report writers puts into a stream.
std::string written(void (*writer)(FILE*, const BatteryStatus&, long long), const BatteryStatus& s,
                    long long now) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    writer(out, s, now);
    fclose(out);
    std::string result(text, size);
    free(text);
    return result;
}

std::string report(const BatteryStatus& s, long long now) { return written(printStatusReport, s, now); }
std::string record(const BatteryStatus& s, long long now) {
    char text[CHARGE_LOG_RECORD_SIZE];
    int length = formatChargeLogRecord(text, sizeof text, s, now);
    return length < 0 ? std::string("(format failed)") : std::string(text, static_cast<std::size_t>(length));
}

TEST(DecodeStatusReply, SetsEveryFieldFromItsOffset) {
    std::string reply =
        "0102"
        "0304"
        "0506"
        "0708"
        "090A"
        "0B0C"
        "0D0E"
        "0F10"
        "1112"
        "1314"
        "15"
        "16"
        "17"
        "18"
        "19"
        "1A"
        "1B"
        "1C"
        "1D"
        "1E"
        "1F"
        "2021"
        "2223"
        "2425"
        "zz\n";
    ASSERT_EQ(reply.size(), 77u);
    BatteryStatus s = decode(reply, marked());
    EXPECT_EQ(s.gasGauge, 0x0102);
    EXPECT_EQ(s.cellVoltage,
              (std::array<int, 8>{0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C, 0x0D0E, 0x0F10, 0x1112}));
    EXPECT_EQ(s.current, 0x1314);
    EXPECT_EQ(s.temps, (std::array<int, 9>{0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D}));
    EXPECT_EQ(s.relativeHumidity, 0x1E);
    EXPECT_EQ(s.balanceRegister, 0x1F);
    EXPECT_EQ(s.tempAlertRegister, 0x2021);
    EXPECT_EQ(s.voltAlertRegister, 0x2223);
    EXPECT_EQ(s.statusRegister, 0x2425);
}

TEST(DecodeStatusReply, ScanRules) {
    struct Case {
        const char* name;
        std::string reply;
        BatteryStatus expected;
    };
    BatteryStatus base = decode(baseReply(), marked());
    BatteryStatus lower = base;  // small letters read as capitals
    BatteryStatus keptFromCurrent = marked();
    keptFromCurrent.gasGauge = 0x2710;
    keptFromCurrent.cellVoltage.fill(0x0E10);
    // Spaces before a field's digits are skipped and the scan reads on into
    // the next field's digits, but the cursor still moves by the width.
    BatteryStatus spaced = base;
    spaced.gasGauge = 0x120E;
    BatteryStatus blankTail = marked();
    blankTail.gasGauge = 0x2710;
    blankTail.cellVoltage.fill(0x0E10);
    blankTail.current = 0xFF9C;
    // A space after a field's first digits ends its number early.
    BatteryStatus shortened = base;
    shortened.gasGauge = 0x12;
    BatteryStatus signedField = base;
    signedField.gasGauge = -1;

    std::string garbageAt36 = baseReply();
    garbageAt36[36] = 'G';
    std::string garbageAt0 = baseReply();
    garbageAt0[0] = 'G';
    std::string lowerReply = makeReply("2710", "0e10", "ff9c", "1e", "33", "ff", "0000", "0001", "8408");
    std::string blank = baseReply().substr(0, 40) + std::string(37, ' ');
    std::string spacedReply = baseReply();
    spacedReply.replace(0, 4, "  12");
    std::string shortenedReply = baseReply();
    shortenedReply.replace(0, 4, "12 \n");
    std::string signedReply = baseReply();
    signedReply.replace(0, 4, "-001");

    const Case cases[] = {
        {"small letters", lowerReply, lower},
        {"non-hex at 36 keeps current and after", garbageAt36, keptFromCurrent},
        {"non-hex at 0 keeps everything", garbageAt0, marked()},
        {"blank tail keeps the fields it covers", blank, blankTail},
        {"leading spaces in a field", spacedReply, spaced},
        {"space ends a field early", shortenedReply, shortened},
        {"signed field", signedReply, signedField},
    };
    for (const Case& c : cases) {
        BatteryStatus s = decode(c.reply, marked());
        EXPECT_EQ(report(s, 0), report(c.expected, 0)) << c.name;
        EXPECT_EQ(s.balanceRegister, c.expected.balanceRegister) << c.name;
    }
}

TEST(Reports, WholeReportRecordAndSystemLogLines) {
    BatteryStatus s = decode(baseReply(), marked());
    EXPECT_EQ(report(s, 1796968884),
              "time: 1796968884\n"
              "gasGauge : 100.000000\n"
              "V1:3.600 V2:3.600 V3:3.600 V4:3.600\n"
              "V5:3.600 V6:3.600 V7:3.600 V8:3.600\n"
              "Current: -1.00\n"
              "Stack Voltage: 28.800000\n"
              "Temps(layer 8 to layer 1): 30 30 30 30 30 30 30 30\n"
              "Heatsink temp: 30\n"
              "relative Humidity: 51\n"
              "balance register: ff\n"
              "temp alert register:  0\n"
              "WARNING: volt alert register:  1\n"
              "Battery Status Register: 8408\n"
              "Fan state: On\n"
              "Main Fuse: Good\n"
              "Safe Operating Area: Good\n"
              "Overcurrent: Good\n"
              "Undervoltage: Good\n"
              "Overvoltage: Good\n"
              "Discharge Mode: Off\n"
              "Charge Mode: On\n"
              "Discharge Transient: Good\n"
              "Battery Cold Limit: Good\n"
              "Heatsink Hot Limit: Good\n"
              "Battery Hot Limit: Good\n"
              "Battery Enable: On\n"
              "\n");
    EXPECT_EQ(record(s, 1796968884), "1796968884,100.00,-1.00,51,ff, 0, 1,8408\n");
    SyslogLines lines = formatSyslogLines(s);
    EXPECT_STREQ(lines.currentAndGauge.data(), "OLM Battery Current & Gas Gauge: -1.00 100.00");
    EXPECT_STREQ(lines.humidity.data(), "OLM Battery RH: 51");
}

TEST(Reports, ValuesAtTheirLimits) {
    struct Case {
        std::string current, temp, balance, tempAlert, status;
        const char* currentText;
        const char* recordTail;  // the record after the time
        const char* alertLine;
        const char* firstBitLines;
    };
    const Case cases[] = {
        {"8000", "FF", "00", "0001", "0000", "-327.68", ",100.00,-327.68,51, 0, 1, 1, 0\n",
         "WARNING: temp alert register:  1\n", "Fan state: Off\nMain Fuse: Good\n"},
        {"7FFF", "00", "01", "0000", "FFFF", "327.67", ",100.00,327.67,51, 1, 0, 1,ffff\n",
         "temp alert register:  0\n", "Fan state: On\nMain Fuse: Fault\n"},
        {"0000", "7f", "ff", "abcd", "0010", "0.00", ",100.00,0.00,51,ff,abcd, 1,10\n",
         "WARNING: temp alert register: abcd\n", "Fan state: Off\nMain Fuse: Fault\n"},
    };
    for (const Case& c : cases) {
        BatteryStatus s = decode(
            makeReply("2710", "0E10", c.current, c.temp, "33", c.balance, c.tempAlert, "0001", c.status),
            marked());
        std::string text = report(s, 7);
        EXPECT_NE(text.find(std::string("Current: ") + c.currentText + "\n"), std::string::npos) << text;
        EXPECT_NE(text.find(c.alertLine), std::string::npos) << text;
        EXPECT_NE(text.find(c.firstBitLines), std::string::npos) << text;
        EXPECT_EQ(text.find("WARNING: balance"), std::string::npos);
        EXPECT_EQ(record(s, 7), std::string("7") + c.recordTail);
        EXPECT_EQ(std::string(formatSyslogLines(s).currentAndGauge.data()),
                  std::string("OLM Battery Current & Gas Gauge: ") + c.currentText + " 100.00");
    }
    // Temperatures are unsigned: FF is 255, never -1.
    BatteryStatus hot =
        decode(makeReply("2710", "0E10", "0000", "FF", "33", "00", "0000", "0000", "0000"), marked());
    EXPECT_NE(report(hot, 0).find(
                  "Temps(layer 8 to layer 1): 255 255 255 255 255 255 255 255\nHeatsink temp: 255\n"),
              std::string::npos);
}

TEST(Reports, TimesPastTwentyThirtyEightPrintInFull) {
    BatteryStatus s = decode(baseReply(), marked());
    const long long after2038 = 4102444800LL;  // 2100-01-01
    EXPECT_EQ(report(s, after2038).substr(0, 17), "time: 4102444800\n");
    EXPECT_EQ(record(s, after2038).substr(0, 11), "4102444800,");
}

// Each status bit set alone changes the register line and exactly its own
// line of the thirteen, from the clear text to the set text; a wrong mask
// moves the change to another line or loses it.
TEST(Reports, EachStatusBitChangesOnlyItsOwnLine) {
    struct Bit {
        unsigned mask;
        const char* clearLine;
        const char* setLine;
    };
    const Bit bits[] = {
        {0x0008, "Fan state: Off", "Fan state: On"},
        {0x0010, "Main Fuse: Good", "Main Fuse: Fault"},
        {0x0020, "Safe Operating Area: Good", "Safe Operating Area: Fault"},
        {0x0040, "Overcurrent: Good", "Overcurrent: Fault"},
        {0x0080, "Undervoltage: Good", "Undervoltage: Fault"},
        {0x0100, "Overvoltage: Good", "Overvoltage: Fault"},
        {0x0200, "Discharge Mode: Off", "Discharge Mode: On"},
        {0x0400, "Charge Mode: Off", "Charge Mode: On"},
        {0x0800, "Discharge Transient: Good", "Discharge Transient: Fault"},
        {0x1000, "Battery Cold Limit: Good", "Battery Cold Limit: Fault"},
        {0x2000, "Heatsink Hot Limit: Good", "Heatsink Hot Limit: Fault"},
        {0x4000, "Battery Hot Limit: Good", "Battery Hot Limit: Fault"},
        {0x8000, "Battery Enable: Off", "Battery Enable: On"},
    };
    auto lines = [](const std::string& text) {
        std::vector<std::string> split;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            split.push_back(text.substr(start, end - start));
        }
        return split;
    };
    BatteryStatus clear{};
    const std::vector<std::string> clearLines = lines(report(clear, 0));
    for (const Bit& bit : bits) {
        BatteryStatus s{};
        s.statusRegister = static_cast<int>(bit.mask);
        const std::vector<std::string> setLines = lines(report(s, 0));
        ASSERT_EQ(setLines.size(), clearLines.size());
        char registerLine[48];
        std::snprintf(registerLine, sizeof registerLine, "Battery Status Register: %4x", bit.mask);
        std::vector<std::string> changed;
        for (std::size_t i = 0; i < setLines.size(); ++i) {
            if (setLines[i] == clearLines[i]) continue;
            changed.push_back(clearLines[i] + " -> " + setLines[i]);
        }
        const std::vector<std::string> expected{
            std::string("Battery Status Register:    0 -> ") + registerLine,
            std::string(bit.clearLine) + " -> " + bit.setLine};
        EXPECT_EQ(changed, expected) << std::hex << "bit 0x" << bit.mask;
    }
}

// ---- the charge log on a disk that fills --------------------------------------------

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ChargeLogRecord, IsInTheFileWholeOrNotAtAll) {
    char dir[] = "/tmp/chargelog-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/1olm.log";
    FILE* log = fopen(path.c_str(), "a");
    ASSERT_NE(log, nullptr);
    BatteryStatus s = decode(baseReply(), marked());
    const std::string first = record(s, 100);

    ASSERT_EQ(writeChargeLogRecord(log, s, 100), 0);
    // A file-size limit 10 bytes past the end lets a write in partly, as a
    // disk that fills in the middle of a record does.
    auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = first.size() + 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    errno = 0;
    EXPECT_EQ(writeChargeLogRecord(log, s, 101), -1);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(fileText(path), first) << "the piece that went in must be cut off again";
    EXPECT_EQ(writeChargeLogRecord(log, s, 102), -1);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, previous);

    ASSERT_EQ(writeChargeLogRecord(log, s, 103), 0);
    EXPECT_EQ(fileText(path), first + record(s, 103));
    fclose(log);

    // Nothing at all goes in: the device is full from the first byte.
    FILE* full = fopen("/dev/full", "a");
    ASSERT_NE(full, nullptr);
    errno = 0;
    EXPECT_EQ(writeChargeLogRecord(full, s, 104), -1);
    EXPECT_EQ(errno, ENOSPC);
    fclose(full);
    unlink(path.c_str());
    rmdir(dir);
}

// ---- the system log, sent by hand ----------------------------------------------------

// A log daemon's socket at a path of its own, read only when asked.
class LogDaemon {
   public:
    explicit LogDaemon(const std::string& path) : path_(path) { bindSocket(); }
    ~LogDaemon() {
        if (fd_ >= 0) close(fd_);
        unlink(path_.c_str());
    }
    // Replaces the socket at the path by a new one, as a daemon that restarts.
    void replace() {
        close(fd_);
        unlink(path_.c_str());
        bindSocket();
    }
    std::vector<std::string> read() {
        std::vector<std::string> lines;
        char buffer[1024];
        for (ssize_t got; (got = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            lines.emplace_back(buffer, static_cast<std::size_t>(got));
        return lines;
    }

   private:
    void bindSocket() {
        fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ADD_FAILURE() << "bind";
    }
    std::string path_;
    int fd_ = -1;
};

// Sends one line and returns what it said on standard error.
std::string sendLine(const char* text, int* result) {
    CaptureFd err(2);
    *result = sendSystemLogLine(text);
    return err.finish();
}

TEST(SystemLog, LinesGoWithoutWaitingAndDropsAreCounted) {
    char dir[] = "/tmp/systemlog-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/log";
    const char* saved = SYSTEM_LOG_PATH;
    SYSTEM_LOG_PATH = path.c_str();
    int result = 0;

    // No daemon yet: dropped, said once.
    EXPECT_TRUE(
        std::regex_match(sendLine("a", &result),
                         std::regex(R"(system log not taking lines \(.+\); dropping them until it does\n)")));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(sendLine("b", &result), "");

    LogDaemon daemon(path);
    EXPECT_EQ(sendLine("OLM Battery RH: 40", &result),
              "system log taking lines again; 2 lines were dropped\n");
    EXPECT_EQ(result, 0);
    std::vector<std::string> got = daemon.read();
    ASSERT_EQ(got.size(), 1u);
    // The C library's format: priority 11 (user.err), time, the program's
    // name, no process id.
    EXPECT_TRUE(std::regex_match(
        got[0], std::regex(R"(<11>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d )" +
                           std::string(program_invocation_short_name) + R"(: OLM Battery RH: 40)")))
        << got[0];

    // A daemon that stops reading: its queue fills, and then lines are
    // dropped at once instead of blocking.
    int sent = 0;
    std::string said;
    for (; sent < 200; ++sent) {
        said += sendLine("x", &result);
        if (result != 0) break;
    }
    ASSERT_LT(sent, 200);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sendLine("y", &result), "");
    EXPECT_EQ(daemon.read().size(), static_cast<std::size_t>(sent));
    EXPECT_EQ(sendLine("z", &result), "system log taking lines again; 4 lines were dropped\n");

    // A daemon that put a new socket in place: the next line finds it.
    daemon.replace();
    EXPECT_EQ(sendLine("after", &result), "");
    EXPECT_EQ(result, 0);
    got = daemon.read();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].ends_with(": after")) << got[0];

    SYSTEM_LOG_PATH = saved;
    rmdir(dir);
}

// The charge stages, driven by a sequence of balance registers against a
// scripted supply and pack.
class StageStep : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_GT(openPort(supply.endpoint().c_str(), &control.supplyPort, 9600, 8, 1, "none"), 0);
        ASSERT_GT(openPort(pack.endpoint().c_str(), &packPort, 9600, 8, 1, "none"), 0);
        control.stage = 0;
        control.chargeCurrent = STAGE_CURRENT[0];
    }
    void TearDown() override {
        closePort(control.supplyPort);
        closePort(packPort);
    }
    std::string step(int balance) {
        BatteryStatus status{};
        status.balanceRegister = balance;
        CaptureFd out(1);
        stepChargeStage(&control, &status, packPort);
        return out.finish();
    }

    LoopbackPeer supply;
    LoopbackPeer pack;
    ChargeControl control{};
    int packPort = 0;
};

TEST_F(StageStep, FollowsTheBalanceRegister) {
    struct Case {
        const char* name;
        std::vector<int> balances;
        std::vector<int> stages;
        std::string supplyBytes;
        int offCommands;
    };
    const Case cases[] = {
        {"balanced cells hold stage 0 at 45 A", {0, 0}, {0, 0}, "ISET 45.0000A\rISET 45.0000A\r", 0},
        {"any bit steps the first two stages",
         {0x01, 0x80, 0x01},
         {1, 2, 2},
         "ISET 22.5000A\rISET 12.5000A\rISET 12.5000A\r",
         0},
        {"stage 2 waits for every cell",
         {0x01, 0x01, 0xFE, 0xFF},
         {1, 2, 2, 3},
         "ISET 22.5000A\rISET 12.5000A\rISET 12.5000A\rISET 7.5000A\r",
         0},
        {"falling back to 0 never raises the current",
         {0x01, 0x00, 0x02, 0x00},
         {1, 1, 2, 2},
         "ISET 22.5000A\rISET 22.5000A\rISET 12.5000A\rISET 12.5000A\r",
         0},
        {"full from the first reply",
         {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF},
         {1, 2, 3, 3, 3, 3},
         "ISET 22.5000A\rISET 12.5000A\rISET 7.5000A\rISET 7.5000A\rISET 7.5000A\rISET 7.5000A\r",
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        size_t supplyBefore = supply.received().size();
        size_t packBefore = pack.received().size();
        for (size_t i = 0; i < c.balances.size(); ++i) {
            step(c.balances[i]);
            EXPECT_EQ(control.stage, c.stages[i]) << "reply " << i;
            EXPECT_EQ(control.chargeCurrent, STAGE_CURRENT[static_cast<size_t>(c.stages[i])]);
        }
        std::string expectedPack;
        for (int i = 0; i < c.offCommands; ++i) expectedPack += PACK_OFF;
        EXPECT_TRUE(supply.waitForReceived(
            [&](const std::string& got) { return got.size() >= supplyBefore + c.supplyBytes.size(); }));
        EXPECT_EQ(supply.received().substr(supplyBefore), c.supplyBytes);
        EXPECT_EQ(pack.received().substr(packBefore), expectedPack);
    }
}

TEST_F(StageStep, MessagesCarryTheirExactNewlines) {
    EXPECT_EQ(step(0), "\n****setting charge current to 45.000000\n\n");
    EXPECT_EQ(step(1),
              "\n****reducing charge current to 22.500000\n"
              "\n****setting charge current to 22.500000\n\n");
    step(1);
    step(0xFF);
    EXPECT_EQ(step(0xFF),
              "turning battery off at end of charge\n"
              "\n****setting charge current to 7.500000\n\n");
}

// The poll pause ends once a stop is recorded, also when the signal came
// just before the pause began and so interrupted nothing: the flag set by
// another thread, with no signal delivered, stands for that case.
TEST(PauseUnlessStopped, EndsSoonAfterAStopIsRecorded) {
    using Clock = std::chrono::steady_clock;
    STOP_SIGNAL = SIGTERM;
    Clock::time_point start = Clock::now();
    pauseUnlessStopped(5);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(STOP_CHECK_MS));

    STOP_SIGNAL = 0;
    start = Clock::now();
    std::thread late([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        STOP_SIGNAL = SIGTERM;
    });
    pauseUnlessStopped(5);
    const auto took = Clock::now() - start;
    late.join();
    STOP_SIGNAL = 0;
    EXPECT_GE(took, std::chrono::milliseconds(100));
    EXPECT_LT(took, std::chrono::seconds(3)) << "the pause ran on after the stop was recorded";
}

}  // namespace

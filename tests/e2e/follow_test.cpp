// chargeplot --follow: the live view of a charge log that grows while it
// runs, as a line per change on a file (or a pipe, or ssh without a
// terminal) and as one line redrawn in place on a terminal.
#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "harness.h"

namespace {

using namespace std::chrono_literals;

const std::string CHARGEPLOT = CHARGEPLOT_BIN;

std::string record(long long time, double gauge, double current, int balance, int tempAlert = 0) {
    char text[80];
    snprintf(text, sizeof text, "%lld,%4.2f,%.2f,40,%2x,%2x, 0,8408\n", time, gauge, current, balance,
             tempAlert);
    return text;
}

// The view reads the wall clock to tell a log that stopped growing, so it
// runs on the real clock here.
class FollowView : public e2e::Sandbox {
   protected:
    void append(const std::string& log, const std::string& text) {
        std::ofstream(log, std::ios::binary | std::ios::app) << text;
    }
};

TEST_F(FollowView, FollowsTheNewestLogOfADirectoryAsItGrows) {
    const std::string logs = dir() + "/logs";
    std::filesystem::create_directory(logs);
    e2e::Child& view = spawn({.program = CHARGEPLOT, .args = {"--follow", logs}, .fakeTime = false});
    ASSERT_TRUE(view.waitForStdout("waiting for a charge log in " + logs + "\n"));

    // Ten minutes ago a charge started and logged for five minutes, rising
    // 0.1 % every 10 s (0.01 %/s): 47.1 % to go take 4,710 s.
    const long long start = static_cast<long long>(time(nullptr)) - 600;
    const std::string first = logs + "/" + std::to_string(start) + "olm.log";
    std::string early;
    for (int i = 0; i < 30; ++i) early += record(start + 10 + 10 * i, 50.0 + 0.1 * i, 45.0, 0);
    append(first, early);
    ASSERT_TRUE(
        view.waitForStdout("SoC  52.90% [###########---------]   45.00 A  stage 0 (45 A)  0:05:00 since "
                           "start  full in ~1:18  ALERT no record for 0:05:"))
        << view.stdoutText();

    // A fresh record: a stage step and a temperature alert; the log is
    // no longer stale.
    append(first, record(time(nullptr), 60.0, 22.5, 0x80, 0x10));
    ASSERT_TRUE(view.waitForStdout("stage 1 (22.5 A)")) << view.stdoutText();
    EXPECT_TRUE(view.waitForStdout("ALERT temp 0010 volt 0000\n")) << view.stdoutText();

    // A record written in two pieces counts once it is whole.
    const std::string next = record(time(nullptr), 61.0, 22.5, 0x80);
    append(first, next.substr(0, 15));
    append(first, next.substr(15));
    ASSERT_TRUE(view.waitForStdout("SoC  61.00%")) << view.stdoutText();

    // A newer charge log in the directory takes over.
    const std::string second = logs + "/" + std::to_string(start + 500) + "olm.log";
    append(second, "");
    ASSERT_TRUE(view.waitForStdout("waiting for records in " + second + "\n")) << view.stdoutText();
    append(second, record(time(nullptr), 100.0, 7.5, 0xff));
    ASSERT_TRUE(view.waitForStdout("SoC 100.00% [####################]    7.50 A  stage 1 (22.5 A)"))
        << view.stdoutText();
    EXPECT_TRUE(view.waitForStdout("  full\n")) << view.stdoutText();

    view.stop(SIGINT, 5000ms);
    EXPECT_EQ(view.exitCode(), 0);
    const std::string out = view.stdoutText();
    EXPECT_EQ(out.find_first_of("\r\033"), std::string::npos) << out;
    EXPECT_EQ(out.find("bad lines"), std::string::npos) << out;
    EXPECT_EQ(view.stderrText(), "");
}

// On a terminal the one line is redrawn in place and kept narrower than the
// terminal, which would otherwise wrap it; a line that is not a record is
// skipped.
TEST_F(FollowView, OnATerminalRedrawsOneLineNoWiderThanTheTerminal) {
    const std::string log = dir() + "/charge.log";
    const long long now = static_cast<long long>(time(nullptr));
    append(log, record(now - 5, 42.0, 45.0, 0) + "not a record\n" + record(now, 42.5, 45.0, 0));
    // script(1) gives the view a pseudo-terminal; its size is unknown, so
    // COLUMNS tells the width.
    e2e::Child& view = spawn(
        {.program = "/usr/bin/script",
         .args = {"-qfec", "COLUMNS=50 '" + CHARGEPLOT + "' --follow --once '" + log + "'", "/dev/null"},
         .fakeTime = false});
    ASSERT_TRUE(view.waitExit());
    EXPECT_EQ(view.exitCode(), 0);
    const std::string out = view.stdoutText();
    ASSERT_TRUE(out.starts_with("\rSoC  42.50% [")) << out;
    const std::size_t end = out.find("\033[K");
    ASSERT_NE(end, std::string::npos) << out;
    EXPECT_EQ(end - 1, 49u) << out;  // the columns less one
    EXPECT_EQ(out.substr(end), "\033[K\r\n");
}

}  // namespace

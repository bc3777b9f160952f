// chargeplot: a charge log becomes a PNG with the stages marked; anything
// else is refused, and so is an output path that cannot be written.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::string CHARGEPLOT = CHARGEPLOT_BIN;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// In the test's own mount namespace (for a read-only directory); times are
// shown in UTC.
class ChargePlot : public e2e::Sandbox {
   protected:
    std::string path(const std::string& name) const { return dir() + "/" + name; }

    std::string writeLog(const std::string& name, const std::string& text) const {
        std::ofstream(path(name), std::ios::binary) << text;
        return path(name);
    }

    // Runs chargeplot with args (each single-quoted for the shell).
    Outcome run(const std::vector<std::string>& args) const {
        std::string command = "TZ=UTC '" + CHARGEPLOT + "'";
        for (const std::string& arg : args) command += " '" + arg + "'";
        command += " >'" + path("out") + "' 2>'" + path("err") + "'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(path("out")), readFile(path("err"))};
    }
};

unsigned bigEndian(const std::string& bytes, std::size_t at) {
    unsigned value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// A charge as the charger logs it: "%2x" registers (a leading space below
// 0x10), a negative current once the supply stops.
const std::string WHOLE_CHARGE =
    "1700000000,23.50,45.00,40, 0, 0, 0,8408\n"
    "1700000300,60.10,45.00,38, 0, 0, 0,8408\n"
    "1700000600,90.00,41.50,37,80, 0, 0,8408\n"
    "1700000900,94.00,22.50,36,84, 0, 0,8408\n"
    "1700001200,97.00,12.50,36,b5, 0, 0,8408\n"
    "1700001500,99.10,9.00,36,f7, 0, 0,8408\n"
    "1700001800,100.00,7.50,37,ff, 0, 0,8400\n"
    "1700002100,100.00,0.00,38,ff, 0, 0,8000\n"
    "1700002400,100.00,-0.10,38,ff, 0, 0, 0\n";

TEST_F(ChargePlot, DrawsAChargeLogAndReportsWhenEachStageBegan) {
    struct Case {
        const char* name;
        std::string log;
        std::string summary;
    };
    const std::vector<Case> cases{
        {"whole charge", WHOLE_CHARGE,
         "9 records over 2400 s, 2023-11-14 22:13:20 to 2023-11-14 22:53:20 UTC\n"
         "stage 1 (22.5 A) at 1700000600 (+600 s)\n"
         "stage 2 (12.5 A) at 1700000900 (+900 s)\n"
         "stage 3 (7.5 A) at 1700001800 (+1800 s)\n"
         "pack off at 1700002100 (+2100 s)\n"},
        // The register falling back to 0 never undoes a stage, and only 0xff
        // ends stage 2.
        {"register falls back",
         "1700000000,90.00,45.00,40, 1, 0, 0,8408\n"
         "1700000005,90.10,22.50,40, 0, 0, 0,8408\n"
         "1700000010,90.20,22.50,40, 2, 0, 0,8408\n"
         "1700000015,90.30,12.50,40,fe, 0, 0,8408\n",
         "4 records over 15 s, 2023-11-14 22:13:20 to 2023-11-14 22:13:35 UTC\n"
         "stage 1 (22.5 A) at 1700000000 (+0 s)\n"
         "stage 2 (12.5 A) at 1700000010 (+10 s)\n"},
        {"one record", "1700000000,50.00,45.00,40, 0, 0, 0,8408\n",
         "1 records over 0 s, 2023-11-14 22:13:20 to 2023-11-14 22:13:20 UTC\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string png = path("charge.png");
        std::filesystem::remove(png);
        const Outcome result = run({writeLog("olm.log", c.log), png});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, c.summary + "chargeplot: wrote " + png + "\n");

        const std::string image = readFile(png);
        ASSERT_GE(image.size(), 24u);
        EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
        EXPECT_EQ(image.substr(12, 4), "IHDR");
        EXPECT_EQ(bigEndian(image, 16), 1000u);
        EXPECT_EQ(bigEndian(image, 20), 750u);
    }
}

TEST_F(ChargePlot, RefusesWhatIsNotAChargeLog) {
    struct Case {
        const char* name;
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases{
        {"empty", "", "no records"},
        {"prose", "hello\n", "line 1: expected 8 comma-separated fields, found 1"},
        {"seven fields", "1700000000,50.00,45.00,40, 0, 0, 0\n", "found 7"},
        {"a console report", "time: 1700000000\ngasGauge : 50.000000\n", "line 1"},
        {"a good record, then a bad one", WHOLE_CHARGE + "1700002700,100.00,x,38,ff, 0, 0, 0\n",
         "line 10: current \"x\""},
        {"time not in seconds", "17:00,50.00,45.00,40, 0, 0, 0,8408\n", "time \"17:00\""},
        {"register not hex", "1700000000,50.00,45.00,40,zz, 0, 0,8408\n", "register \"zz\""},
        {"a send log", "S1700000000: CLR\rS1700000000: OUT 0\r", "line 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string png = path("refused.png");
        const std::string log = writeLog("input", c.text);
        const Outcome result = run({log, png});
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("chargeplot: " + log + " is not a charge log"), std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_FALSE(std::filesystem::exists(png));
    }
}

TEST_F(ChargePlot, UsageErrors) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases{
        {"no arguments", {}, 2, "usage: chargeplot LOG PNG"},
        {"one argument", {"log"}, 2, "usage: chargeplot LOG PNG"},
        {"unknown option", {"--bogus", "x.png"}, 2, "usage: chargeplot LOG PNG"},
        {"follow without a log", {"--follow"}, 2, "usage: chargeplot LOG PNG"},
        {"missing log",
         {"/nonexistent/olm.log", "x.png"},
         1,
         "cannot read '/nonexistent/olm.log': No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome result = run(c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
}

// One message, no image bytes anywhere, nothing left behind; an image that
// was there before stays as it was.
TEST_F(ChargePlot, AnOutputPathThatCannotBeWrittenGivesOneMessage) {
    const std::string log = writeLog("olm.log", WHOLE_CHARGE);
    const std::string readOnly = makeReadOnlyDir();
    std::filesystem::create_directory(path("adir"));
    struct Case {
        std::string output;
        std::string reason;
    };
    const std::vector<Case> cases{
        {readOnly + "/charge.png", "Read-only file system"},
        {path("missing/charge.png"), "No such file or directory"},
        {path("adir"), "Is a directory"},
        {path("olm.log/charge.png"), "Not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        const Outcome result = run({log, c.output});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "chargeplot: cannot write '" + c.output + "': " + c.reason + "\n");
    }
    EXPECT_TRUE(std::filesystem::is_empty(readOnly));
    EXPECT_TRUE(std::filesystem::is_empty(path("adir")));
    EXPECT_EQ(readFile(log), WHOLE_CHARGE);
}

// What the plot shows, read from the gnuplot script chargeplot runs.
struct Script {
    std::string text;
    double currentLow = 0.0;
    double currentHigh = 0.0;
    std::vector<std::string> labels;
    std::set<std::string> labelRows;
};

Script readScript(const std::string& text) {
    Script script;
    script.text = text;
    std::smatch range;
    if (std::regex_search(text, range, std::regex("set y2range \\[(-?[0-9.]+):(-?[0-9.]+)\\]"))) {
        script.currentLow = std::stod(range[1]);
        script.currentHigh = std::stod(range[2]);
    }
    const std::regex label("set label [0-9]+ '([^']*)' at '[0-9]+', graph ([0-9.]+)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), label); it != std::sregex_iterator();
         ++it) {
        script.labels.push_back((*it)[1]);
        script.labelRows.insert((*it)[2]);
    }
    return script;
}

// A charge of many hours whose stages come one poll apart: every stage
// label is on a row of its own and names its time; the current axis shows 0
// whether the pack charges or discharges; the title names the date.
TEST_F(ChargePlot, ScriptShowsZeroCurrentTheDateAndAReadableLabelPerStage) {
    std::string tenHours;
    for (int i = 0; i < 7200; ++i) {
        const int balance = i < 7000 ? 0 : i == 7000 ? 0x80 : 0xff;
        char record[80];
        snprintf(record, sizeof record, "%d,%.2f,%.2f,40,%2x, 0, 0,8408\n", 1700000000 + 5 * i,
                 20.0 + i / 100.0, i < 7000 ? 45.0 : 7.5, balance);
        tenHours += record;
    }
    struct Case {
        const char* name;
        std::string log;
        bool discharge;
        std::vector<std::string> labels;
    };
    const std::vector<Case> cases{
        {"ten hours",
         tenHours,
         false,
         {"stage 1 (22.5 A), 07:56:40", "stage 2 (12.5 A), 07:56:45", "stage 3 (7.5 A), 07:56:50",
          "pack off, 07:56:55"}},
        {"discharging",
         "1700000000,80.00,-5.00,40, 0, 0, 0,8408\n1700000005,79.90,-5.20,40, 0, 0, 0,8408\n",
         true,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome result = run({"--script", writeLog("1700000000olm.log", c.log), path("plot.gp")});
        ASSERT_EQ(result.status, 0) << result.err;
        const Script script = readScript(readFile(path("plot.gp")));
        EXPECT_EQ(script.labels, c.labels);
        EXPECT_EQ(script.labelRows.size(), c.labels.size());
        EXPECT_LE(script.currentLow, c.discharge ? -5.2 : 0.0);
        EXPECT_GE(script.currentHigh, c.discharge ? 0.0 : 45.0);
        if (!c.discharge) {
            EXPECT_EQ(script.currentLow, 0.0);
        }
        EXPECT_NE(script.text.find("title 'charge log 1700000000olm.log, 2023-11-14 22:13 to "),
                  std::string::npos);
    }
}

}  // namespace

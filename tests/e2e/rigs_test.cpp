// Two rigs from one build (CHARGER_RIGS), as installed by rigs_build into a
// scratch prefix: each rig's unit names its own installed charger and its
// own supply, passes systemd-analyze verify and cannot be enabled; each
// charger drives its own bench, side by side with the other.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace e2e;

struct RigUnderTest {
    std::string name;  // charger-NAME
    std::string pack;
    std::string supply;
    std::uint16_t packPort = 0;
    std::uint16_t supplyPort = 0;
};

// The rigs the scratch build was configured with (RIGS: "NAME=PACK,SUPPLY"
// entries separated by "|").
std::vector<RigUnderTest> rigsUnderTest() {
    std::vector<RigUnderTest> rigs;
    std::istringstream list(RIGS);
    static const std::regex entry(R"(([^=]+)=(tcp:127\.0\.0\.1:(\d+)),(tcp:127\.0\.0\.1:(\d+)))");
    for (std::string text; std::getline(list, text, '|');) {
        std::smatch match;
        if (!std::regex_match(text, match, entry)) {
            ADD_FAILURE() << "rig not on loopback: " << text;
            continue;
        }
        rigs.push_back({"charger-" + match[1].str(), match[2].str(), match[4].str(),
                        static_cast<std::uint16_t>(std::stoi(match[3].str())),
                        static_cast<std::uint16_t>(std::stoi(match[5].str()))});
    }
    return rigs;
}

const std::string PREFIX = std::string(RIGS_WORK) + "/prefix";
const std::string STAGE = std::string(RIGS_WORK) + "/stage";

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string unitPath(const std::string& prefix, const std::string& name) {
    return prefix + "/lib/systemd/system/" + name + ".service";
}

// The values of a unit's setting, in order.
std::vector<std::string> settings(const std::string& unit, const std::string& key) {
    return capturesOf(unit, std::regex("(?:^|\n)" + key + "=([^\n]*)"));
}

std::string setting(const std::string& unit, const std::string& key) {
    const std::vector<std::string> values = settings(unit, key);
    EXPECT_EQ(values.size(), 1u) << key;
    return values.empty() ? std::string() : values.front();
}

std::string firstExisting(std::initializer_list<const char*> paths) {
    for (const char* path : paths) {
        if (access(path, X_OK) == 0) return path;
    }
    return {};
}

class Rigs : public Sandbox {
   protected:
    // Runs the stop command of rig's unit (ExecStopPost), not under
    // libfaketime: its pauses are real.
    Child& runStopCommand(const RigUnderTest& rig) {
        const std::vector<std::string> words =
            commandLineWords(setting(readText(unitPath(PREFIX, rig.name)), "ExecStopPost"));
        EXPECT_GE(words.size(), 1u);
        SpawnOptions options;
        options.program = words.empty() ? "/bin/false" : words.front();
        options.args.assign(words.begin() + (words.empty() ? 0 : 1), words.end());
        options.name = rig.name + "-stop";
        options.fakeTime = false;
        return spawn(options);
    }
};

// Each unit names its own charger and supply where they were installed, and
// has nothing that would start it at boot; systemd checks it as it would
// load it. Nothing of the default single charger is installed beside them.
TEST_F(Rigs, EachUnitNamesItsOwnInstalledChargerAndSupply) {
    const std::vector<RigUnderTest> rigs = rigsUnderTest();
    ASSERT_EQ(rigs.size(), 2u);
    for (const RigUnderTest& rig : rigs) {
        SCOPED_TRACE(rig.name);
        const std::string unit = readText(unitPath(PREFIX, rig.name));
        ASSERT_FALSE(unit.empty()) << unitPath(PREFIX, rig.name);

        const std::string charger = PREFIX + "/bin/" + rig.name;
        EXPECT_EQ(setting(unit, "ExecStart"), charger);
        EXPECT_EQ(access(charger.c_str(), X_OK), 0) << charger;
        const std::string stop = setting(unit, "ExecStopPost");
        const std::string supplyOff = PREFIX + "/bin/supplyctl " + rig.supply + " off";
        EXPECT_NE(stop.find(supplyOff), std::string::npos) << stop;
        EXPECT_EQ(access((PREFIX + "/bin/supplyctl").c_str(), X_OK), 0);
        EXPECT_EQ(setting(unit, "StateDirectory"), rig.name);
        EXPECT_EQ(setting(unit, "WorkingDirectory"), "/var/lib/" + rig.name);
        EXPECT_EQ(setting(unit, "SyslogIdentifier"), rig.name);
        EXPECT_EQ(setting(unit, "Group"), "charger");
        EXPECT_FALSE(std::regex_search(unit, std::regex(R"((^|\n)\[Install\])"))) << unit;
        EXPECT_TRUE(settings(unit, "WantedBy").empty());
    }
    EXPECT_FALSE(std::filesystem::exists(PREFIX + "/bin/charger"));
    EXPECT_FALSE(std::filesystem::exists(unitPath(PREFIX, "charger")));
    EXPECT_TRUE(std::filesystem::exists(PREFIX + "/lib/sysusers.d/charger.conf"));

    const std::string analyze = firstExisting({"/usr/bin/systemd-analyze", "/bin/systemd-analyze"});
    if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed: the units were not verified";
    for (const RigUnderTest& rig : rigs) {
        Child& verify =
            spawn({analyze, {"verify", unitPath(PREFIX, rig.name)}, {}, rig.name + "-verify", false});
        ASSERT_TRUE(verify.waitExit());
        EXPECT_EQ(verify.exitCode(), 0) << rig.name << ":\n" << verify.stderrText();
    }
}

// A staged install (DESTDIR) writes units that name the binaries where they
// will be, never where they were staged.
TEST_F(Rigs, AStagedInstallNamesTheFinalPaths) {
    for (const RigUnderTest& rig : rigsUnderTest()) {
        SCOPED_TRACE(rig.name);
        const std::string unit = readText(unitPath(STAGE + RIGS_STAGED_PREFIX, rig.name));
        ASSERT_FALSE(unit.empty());
        EXPECT_EQ(setting(unit, "ExecStart"), std::string(RIGS_STAGED_PREFIX) + "/bin/" + rig.name);
        EXPECT_NE(setting(unit, "ExecStopPost").find(std::string(RIGS_STAGED_PREFIX) + "/bin/supplyctl "),
                  std::string::npos);
        EXPECT_EQ(unit.find(STAGE), std::string::npos) << unit;
    }
}

// Both rigs charge at once, each installed charger (as its unit starts it)
// in its own directory against its own bench: each bench sees one charger,
// started once, and each charger's system-log lines carry its rig's name.
// Once stopped, each unit's stop command switches off that rig's supply.
TEST_F(Rigs, EachChargerDrivesItsOwnBench) {
    struct Running {
        RigUnderTest rig;
        Child* bench = nullptr;
        Child* charger = nullptr;
        std::string dir;
    };
    std::vector<Running> running;
    for (const RigUnderTest& rig : rigsUnderTest()) {
        running.emplace_back();
        running.back().rig = rig;
    }
    ASSERT_EQ(running.size(), 2u);

    for (Running& each : running) {
        const std::string supply = "127.0.0.1:" + std::to_string(each.rig.supplyPort);
        const std::string pack = "127.0.0.1:" + std::to_string(each.rig.packPort);
        each.bench =
            &spawn({BENCHSIM_BIN, {"--supply", supply, "--pack", pack}, {}, each.rig.name + "-bench", false});
        ASSERT_TRUE(each.bench->waitForStdout("\n", 2)) << each.bench->stderrText();
    }
    for (Running& each : running) {
        each.dir = dir() + "/" + each.rig.name;
        std::filesystem::create_directory(each.dir);
        SpawnOptions options;
        options.program = setting(readText(unitPath(PREFIX, each.rig.name)), "ExecStart");
        options.cwd = each.dir;
        each.charger = &startCharger(options);
    }
    for (Running& each : running) {
        ASSERT_TRUE(each.charger->waitForStdout("status is 77", 3))
            << each.rig.name << "\n"
            << each.charger->stdoutText() << each.charger->stderrText();
    }
    for (Running& each : running) {
        SCOPED_TRACE(each.rig.name);
        each.charger->stop();
        const std::string events = each.bench->stderrText();
        EXPECT_EQ(countOf(events, "pack: connection from"), 1) << events;
        EXPECT_EQ(countOf(events, "supply: connection from"), 1) << events;
        EXPECT_EQ(countOf(events, "pack: @AC"), 1) << events;
        const std::vector<std::string> logs = chargeLogFiles(each.dir);
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_GE(countOf(readText(each.dir + "/" + logs.front()), "\n"), 3);
        bool tagged = false;
        for (const SyslogMessage& message : syslog())
            tagged = tagged || message.tag.starts_with(each.rig.name);
        EXPECT_TRUE(tagged) << "no system-log line from " << each.rig.name;
    }
    for (Running& each : running) {
        SCOPED_TRACE(each.rig.name);
        const int offs = countOf(each.bench->stderrText(), "supply: OUT 0");
        Child& stop = runStopCommand(each.rig);
        ASSERT_TRUE(stop.waitExit());
        EXPECT_EQ(stop.exitCode(), 0) << stop.stderrText();
        EXPECT_TRUE(each.bench->waitForStderr("supply: OUT 0", offs + 1)) << each.bench->stderrText();
    }
}

// The stop command tries again while the supply's server turns it away, and
// gets through once it lets it in.
TEST_F(Rigs, TheStopCommandTriesAgainUntilTheSupplyIsThere) {
    const RigUnderTest rig = rigsUnderTest().front();
    Child& stop = runStopCommand(rig);
    ASSERT_TRUE(stop.waitForStderr("\n")) << "no first try";
    ASSERT_TRUE(stop.running()) << "gave up after one try: " << stop.stderrText();
    testsupport::LoopbackPeer supply(rig.supplyPort);
    ASSERT_TRUE(stop.waitExit());
    EXPECT_EQ(stop.exitCode(), 0) << stop.stderrText();
    EXPECT_NE(supply.received().find("OUT 0\r"), std::string::npos) << supply.received();
}

}  // namespace

// The rig list given to CMake (CHARGER_RIGS) is refused at configure time
// when two chargers would share an instrument, or when a rig or an endpoint
// could not be built into a charger and its unit as written.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace {

using namespace e2e;

class RigList : public Sandbox {};

TEST_F(RigList, RefusedAtConfigure) {
    struct Case {
        const char* rigs;
        const char* message;
    };
    const Case cases[] = {
        {"a=tcp:lab:10001,tcp:lab:3002;b=tcp:lab:10011,tcp:lab:3002",
         "a supply and charger-b supply both name"},
        {"a=tcp:lab:10001,tcp:lab:3002;b=tcp:lab:3002,tcp:lab:3012", "a supply and charger-b pack both name"},
        // The same instrument written another way.
        {"a=tcp:Lab:10001,tcp:lab:3002;b=tcp:lab:010001,tcp:lab:3012",
         "both name the endpoint tcp:lab:010001"},
        {"a=/dev/ttyUSB0,tcp:lab:3002;b=/dev//ttyUSB0,tcp:lab:3012", "both name the endpoint /dev//ttyUSB0"},
        {"a=tcp:lab:3002,tcp:lab:3002", "charger-a pack and charger-a supply both name"},
        {"a=tcp:lab:10001,tcp:lab:3002;a=tcp:lab:10011,tcp:lab:3012", "the rig name 'a' is given twice"},
        {"a=tcp:lab:10001", "is not NAME=PACK_ENDPOINT,SUPPLY_ENDPOINT"},
        {"=tcp:lab:10001,tcp:lab:3002", "rig name ''"},
        {"a/b=tcp:lab:10001,tcp:lab:3002", "rig name 'a/b'"},
        {"a=tcp:lab,tcp:lab:3002", "is not tcp:HOST:PORT"},
        {"a=tcp:lab:65536,tcp:lab:3002", "the port must be from 1 to 65535"},
        {"a=tcp:lab:0,tcp:lab:3002", "the port must be from 1 to 65535"},
        {"a=ttyUSB0,tcp:lab:3002", "neither tcp:HOST:PORT nor an absolute path"},
        {"a=tcp:lab:10001,tcp:lab:3002 off", "is not an endpoint"},
        {"a=tcp:lab:10001,tcp:la%b:3002", "is not an endpoint"},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rigs);
        const std::string build = dir() + "/build" + std::to_string(++row);
        Child& cmake = spawn(
            {CMAKE_BIN,
             {"-S", SOURCE_DIR, "-B", build, "-DCHARGER_TESTS=OFF", std::string("-DCHARGER_RIGS=") + c.rigs},
             {},
             "cmake" + std::to_string(row),
             false});
        ASSERT_TRUE(cmake.waitExit(30000ms));
        EXPECT_NE(cmake.exitCode(), 0);
        // CMake wraps its messages: compare with the line breaks undone.
        std::string said = cmake.stderrText();
        for (std::size_t at = said.find("\n  "); at != std::string::npos; at = said.find("\n  ", at)) {
            said.replace(at, 3, " ");
        }
        EXPECT_NE(said.find(c.message), std::string::npos) << said;
    }
}

}  // namespace

// supplyctl: reads and sets the power supply by hand, through the same driver
// as the charger. One command per run; see usage() for the commands.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "util/settings.h"
#include "serial/serial.h"
#include "xfr/xfr.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_NO_ANSWER = 1;  // the supply did not answer, or its answer did not parse
constexpr int EXIT_USAGE = 2;      // a usage error, or a value the driver rejects
constexpr int EXIT_NO_ENDPOINT = 3;

// The supply's line, when the endpoint is a serial device.
constexpr int LINE_SPEED = 9600;
constexpr int LINE_DATABITS = 8;
constexpr int LINE_STOPBITS = 1;
constexpr const char* LINE_PARITY = "none";

constexpr double DEFAULT_WATCH_SECONDS = 5.0;
// Longer intervals are cut to this, which keeps the schedule in range.
constexpr double MAX_WATCH_SECONDS = 365.0 * 24 * 3600;
constexpr std::int64_t NANOSECONDS = 1000000000;

enum class Kind { Status, Setpoint, Fixed, Watch };

struct Command {
    const char* name;
    Kind kind;
    int (*fixed)(int fd);
    int (*setpoint)(int fd, double value);
    // The driver's range for the setpoint: from 0 to limit, the limit itself
    // included or not. A rejected voltage and a failed send both give -1, so
    // the range tells them apart.
    double limit;
    bool limitIncluded;
};

constexpr Command COMMANDS[] = {
    {"status", Kind::Status, nullptr, nullptr, 0.0, false},
    {"volts", Kind::Setpoint, nullptr, xfrSetVolts, XFR_VOLTAGE_LIMIT, false},
    {"current", Kind::Setpoint, nullptr, xfrSetCurrent, XFR_CURRENT_LIMIT, true},
    {"ovp", Kind::Setpoint, nullptr, xfrOverVoltSet, XFR_VOLTAGE_LIMIT, true},
    {"vmax", Kind::Setpoint, nullptr, xfrVMax, XFR_VOLTAGE_LIMIT, true},
    {"imax", Kind::Setpoint, nullptr, xfrIMax, XFR_CURRENT_LIMIT, true},
    {"on", Kind::Fixed, xfrEnableOutput, nullptr, 0.0, false},
    {"off", Kind::Fixed, xfrDisableOutput, nullptr, 0.0, false},
    {"clear", Kind::Fixed, xfrInit, nullptr, 0.0, false},
    {"reset", Kind::Fixed, xfrReset, nullptr, 0.0, false},
    {"trigger", Kind::Fixed, xfrTrigger, nullptr, 0.0, false},
    {"watch", Kind::Watch, nullptr, nullptr, 0.0, false},
};

int usage(const char* why) {
    fprintf(stderr,
            "supplyctl: %s\n"
            "usage: supplyctl ENDPOINT status\n"
            "       supplyctl ENDPOINT volts V | current A | ovp V | vmax V | imax A\n"
            "       supplyctl ENDPOINT on | off | clear | reset | trigger\n"
            "       supplyctl ENDPOINT watch [SECONDS]\n"
            "ENDPOINT is tcp:HOST:PORT or a serial device (9600 bit/s, 8N1).\n",
            why);
    return EXIT_USAGE;
}

const Command* findCommand(const char* name) {
    for (const Command& command : COMMANDS) {
        if (strcmp(command.name, name) == 0) return &command;
    }
    return nullptr;
}

// The whole text must be one finite decimal number; from_chars ignores the
// locale, so the decimal point is always ".".
bool parseNumber(const char* text, double* value) {
    const char* end = text + strlen(text);
    double parsed = 0.0;
    auto [stop, error] = std::from_chars(text, end, parsed);
    if (text == end || error != std::errc() || stop != end || !std::isfinite(parsed)) return false;
    *value = parsed;
    return true;
}

bool withinRange(const Command& command, double value) {
    if (value < 0.0) return false;
    return command.limitIncluded ? value <= command.limit : value < command.limit;
}

int runSetpoint(int fd, const Command& command, double value) {
    int result = command.setpoint(fd, value);
    if (result == 0) return EXIT_OK;
    if (!withinRange(command, value)) return EXIT_USAGE;
    return EXIT_NO_ANSWER;
}

int runFixed(int fd, const Command& command) { return command.fixed(fd) == 0 ? EXIT_OK : EXIT_NO_ANSWER; }

// Prints NAME=VALUE, or NAME=? when the value was not read; returns whether
// it was.
bool printDouble(const char* name, bool read, double value) {
    if (read) {
        printf("%s=%.4f\n", name, value);
    } else {
        printf("%s=?\n", name);
    }
    fflush(stdout);
    return read;
}

bool printInt(const char* name, bool read, int value) {
    if (read) {
        printf("%s=%d\n", name, value);
    } else {
        printf("%s=?\n", name);
    }
    fflush(stdout);
    return read;
}

// The arguments of a call are not sequenced: each query runs before the
// line that prints its value.
int runStatus(int fd) {
    bool all = true;
    double value = 0.0;
    bool read = xfrGetIOut(fd, &value) == 1;
    all &= printDouble("IOUT", read, value);
    read = xfrGetVOut(fd, &value) == 1;
    all &= printDouble("VOUT", read, value);
    read = xfrGetISet(fd, &value) == 1;
    all &= printDouble("ISET", read, value);
    read = xfrGetVSet(fd, &value) == 1;
    all &= printDouble("VSET", read, value);
    int number = 0;
    read = xfrGetOut(fd, &number) == 1;
    all &= printInt("OUT", read, number);
    read = xfrGetErr(fd, &number) == 1;
    all &= printInt("ERR", read, number);
    int asts = 0;
    int sts = 0;
    int fault = 0;
    int results[3];
    xfrGetStatusEach(fd, &asts, &sts, &fault, results);
    all &= printInt("ASTS", results[0] == 1, asts);
    all &= printInt("STS", results[1] == 1, sts);
    all &= printInt("FAULT", results[2] == 1, fault);
    return all ? EXIT_OK : EXIT_NO_ANSWER;
}

std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * NANOSECONDS + now.tv_nsec;
}

// Waits until the monotonic clock reaches deadline; true when SIGINT or
// SIGTERM (blocked, so that none is lost between two waits) came first.
// A signal already pending is taken even when the deadline has passed.
bool stoppedBefore(const sigset_t& stops, std::int64_t deadline) {
    for (;;) {
        std::int64_t left = deadline - monotonicNanoseconds();
        if (left < 0) left = 0;
        timespec wait{static_cast<time_t>(left / NANOSECONDS), static_cast<long>(left % NANOSECONDS)};
        int taken = sigtimedwait(&stops, nullptr, &wait);
        if (taken == SIGINT || taken == SIGTERM) return true;
        if (taken < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (left == 0) return false;
    }
}

void printField(bool read, double value) {
    if (read) printf("%.4f", value);
}

int runWatch(int fd, const sigset_t& stops, double seconds) {
    const auto interval = static_cast<std::int64_t>(seconds * static_cast<double>(NANOSECONDS));
    puts("time,IOUT,VOUT");
    fflush(stdout);
    std::int64_t next = monotonicNanoseconds();
    for (;;) {
        long long now = static_cast<long long>(time(nullptr));
        double amperes = 0.0;
        double volts = 0.0;
        bool amperesRead = xfrGetIOut(fd, &amperes) == 1;
        bool voltsRead = xfrGetVOut(fd, &volts) == 1;
        printf("%lld,", now);
        printField(amperesRead, amperes);
        putchar(',');
        printField(voltsRead, volts);
        putchar('\n');
        fflush(stdout);
        // A slow supply delays the next line rather than bunching lines up.
        next += interval;
        std::int64_t current = monotonicNanoseconds();
        if (next < current) next = current;
        if (stoppedBefore(stops, next)) return EXIT_OK;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Standard output holds the results only.
    QUIET_PORT_PROGRESS = 1;

    if (argc < 3) return usage("missing endpoint or command");
    const char* endpoint = argv[1];
    const Command* command = findCommand(argv[2]);
    if (command == nullptr) return usage("unknown command");

    double value = 0.0;
    switch (command->kind) {
        case Kind::Status:
        case Kind::Fixed:
            if (argc != 3) return usage("this command takes no value");
            break;
        case Kind::Setpoint:
            if (argc != 4) return usage("this command takes one value");
            if (!parseNumber(argv[3], &value)) return usage("the value is not a number");
            break;
        case Kind::Watch:
            if (argc > 4) return usage("watch takes at most one value");
            value = DEFAULT_WATCH_SECONDS;
            if (argc == 4 && (!parseNumber(argv[3], &value) || value <= 0.0)) {
                return usage("SECONDS must be a positive number");
            }
            if (value > MAX_WATCH_SECONDS) value = MAX_WATCH_SECONDS;
            break;
    }

    // Blocked from the start, so that an interrupt during the first queries
    // still ends the watch cleanly.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    if (command->kind == Kind::Watch) sigprocmask(SIG_BLOCK, &stops, nullptr);

    int fd = 0;
    if (openPort(endpoint, &fd, LINE_SPEED, LINE_DATABITS, LINE_STOPBITS, LINE_PARITY) <= 0) {
        fprintf(stderr, "supplyctl: cannot open %s\n", endpoint);
        return EXIT_NO_ENDPOINT;
    }

    switch (command->kind) {
        case Kind::Status:
            return runStatus(fd);
        case Kind::Setpoint:
            return runSetpoint(fd, *command, value);
        case Kind::Fixed:
            return runFixed(fd, *command);
        case Kind::Watch:
            return runWatch(fd, stops, value);
    }
    return EXIT_USAGE;
}

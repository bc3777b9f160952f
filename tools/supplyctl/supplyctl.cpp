// supplyctl: reads and sets the power supply by hand, through the same driver
// as the charger. One command per run; see usage() for the commands.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "serial/serial.h"
#include "util/settings.h"
#include "util/util.h"
#include "xfr/xfr.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_NO_ANSWER = 1;  // the supply did not answer, its answer did not parse, or
                                   // the device server closed the connection
constexpr int EXIT_USAGE = 2;      // a usage error, or a value out of range
constexpr int EXIT_NO_ENDPOINT = 3;

// The supply's line, when the endpoint is a serial device.
constexpr int LINE_SPEED = 9600;
constexpr int LINE_DATABITS = 8;
constexpr int LINE_STOPBITS = 1;
constexpr const char* LINE_PARITY = "none";

// How long after a command supplyctl watches for the device server closing
// the connection. A server that refuses a second client accepts the
// connection and closes it at once, and the command then went nowhere.
constexpr int CLOSE_GRACE_MS = 250;

// The driver makes 10 attempts of a 2-second wait for each query.
constexpr int QUERY_ATTEMPTS = 10;
constexpr int QUERY_WAIT_SECONDS = 2;

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
    // included or not, in unit.
    double limit;
    bool limitIncluded;
    const char* unit;
};

constexpr Command COMMANDS[] = {
    {"status", Kind::Status, nullptr, nullptr, 0.0, false, ""},
    {"volts", Kind::Setpoint, nullptr, xfrSetVolts, XFR_VOLTAGE_LIMIT, false, "V"},
    {"current", Kind::Setpoint, nullptr, xfrSetCurrent, XFR_CURRENT_LIMIT, true, "A"},
    {"ovp", Kind::Setpoint, nullptr, xfrOverVoltSet, XFR_VOLTAGE_LIMIT, true, "V"},
    {"vmax", Kind::Setpoint, nullptr, xfrVMax, XFR_VOLTAGE_LIMIT, true, "V"},
    {"imax", Kind::Setpoint, nullptr, xfrIMax, XFR_CURRENT_LIMIT, true, "A"},
    {"on", Kind::Fixed, xfrEnableOutput, nullptr, 0.0, false, ""},
    {"off", Kind::Fixed, xfrDisableOutput, nullptr, 0.0, false, ""},
    {"clear", Kind::Fixed, xfrInit, nullptr, 0.0, false, ""},
    {"reset", Kind::Fixed, xfrReset, nullptr, 0.0, false, ""},
    {"trigger", Kind::Fixed, xfrTrigger, nullptr, 0.0, false, ""},
    {"watch", Kind::Watch, nullptr, nullptr, 0.0, false, ""},
};

int usage(const std::string& why) {
    fprintf(stderr,
            "supplyctl: %s\n"
            "usage: supplyctl ENDPOINT status\n"
            "       supplyctl ENDPOINT volts V | current A | ovp V | vmax V | imax A\n"
            "       supplyctl ENDPOINT on | off | clear | reset | trigger\n"
            "       supplyctl ENDPOINT watch [SECONDS]\n"
            "ENDPOINT is tcp:HOST:PORT or a serial device (9600 bit/s, 8N1).\n",
            why.c_str());
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

// Why the value is outside the driver's range for the command, or an empty
// text when it is inside. text is the value as given.
std::string outOfRange(const Command& command, const char* text, double value) {
    char why[256];
    if (value < 0.0) {
        snprintf(why, sizeof why, "%s %s %s refused: %s %s is below the lower limit of 0 %s", command.name,
                 text, command.unit, text, command.unit, command.unit);
    } else if (command.limitIncluded ? value > command.limit : value >= command.limit) {
        snprintf(why, sizeof why, "%s %s %s refused: %s %s is %s the limit of %g %s%s", command.name, text,
                 command.unit, text, command.unit, command.limitIncluded ? "above" : "at or above",
                 command.limit, command.unit, command.limitIncluded ? "" : " (it must stay below it)");
    } else {
        return {};
    }
    return why;
}

// ---------------------------------------------------------------------------
// Endpoints

struct TcpEndpoint {
    std::string host;
    int port = 0;
};

// Checks a "tcp:HOST:PORT" endpoint as the port layer will read it. Returns
// an empty text when it is well formed, else what is wrong.
std::string checkTcpEndpoint(const std::string& endpoint, TcpEndpoint* out) {
    const std::string expected = " (expected tcp:HOST:PORT)";
    const std::size_t first = endpoint.find(':');
    if (first == std::string::npos || endpoint.compare(0, first, "tcp") != 0) {
        return "bad endpoint '" + endpoint + "': a TCP endpoint begins with 'tcp:'" + expected;
    }
    const std::size_t second = endpoint.find(':', first + 1);
    const std::string host =
        endpoint.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (host.empty()) return "bad endpoint '" + endpoint + "': the host is empty" + expected;
    if (second == std::string::npos)
        return "bad endpoint '" + endpoint + "': no port after the host" + expected;
    const std::string port = endpoint.substr(second + 1);
    if (port.find(':') != std::string::npos) {
        return "bad endpoint '" + endpoint +
               "': more than one ':' after the host (IPv6 addresses are not supported)" + expected;
    }
    if (port.empty()) return "bad endpoint '" + endpoint + "': the port is empty" + expected;
    long number = 0;
    auto [stop, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error == std::errc::result_out_of_range) number = 65536;
    if (stop != port.data() + port.size() ||
        (error != std::errc() && error != std::errc::result_out_of_range) || port[0] == '-' ||
        port[0] == '+') {
        return "bad endpoint '" + endpoint + "': the port '" + port + "' is not a number" + expected;
    }
    if (number < 1 || number > 65535) {
        return "bad endpoint '" + endpoint + "': the port " + port + " is outside 1-65535";
    }
    // The port layer takes a host that begins with a digit as a dotted IPv4
    // address without looking it up.
    in_addr address{};
    if (host[0] >= '0' && host[0] <= '9' && inet_aton(host.c_str(), &address) == 0) {
        return "bad endpoint '" + endpoint + "': the host '" + host +
               "' begins with a digit but is not an IPv4 address";
    }
    out->host = host;
    out->port = static_cast<int>(number);
    return {};
}

// Looks the host up as the port layer will (IPv4); an empty text when it
// resolves, else why not.
std::string lookUp(const TcpEndpoint& endpoint) {
    if (endpoint.host[0] >= '0' && endpoint.host[0] <= '9') return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int result = getaddrinfo(endpoint.host.c_str(), nullptr, &hints, &found);
    if (result == 0) {
        freeaddrinfo(found);
        return {};
    }
    if (result == EAI_NONAME || result == EAI_NODATA || result == EAI_ADDRFAMILY) {
        return "no such host '" + endpoint.host + "' (no IPv4 address found for it)";
    }
    if (result == EAI_AGAIN) {
        return "the name '" + endpoint.host + "' could not be looked up now (" + gai_strerror(result) + ")";
    }
    return "looking up '" + endpoint.host + "' failed: " + gai_strerror(result);
}

// Opens a TCP endpoint (the port layer gives a connect up after 2 s); on
// failure prints why and returns 0.
int openTcp(const char* endpoint, const TcpEndpoint& tcp) {
    int fd = 0;
    int opened = openPort(endpoint, &fd, LINE_SPEED, LINE_DATABITS, LINE_STOPBITS, LINE_PARITY);
    int err = errno;
    if (opened > 0) return fd;

    const std::string where = tcp.host + ":" + std::to_string(tcp.port);
    std::string why;
    if (err == ETIMEDOUT) {
        why = "timed out: " + where +
              " did not accept the connection in time (is the address right and the "
              "device server on the network?)";
    } else if (err == ECONNREFUSED) {
        why = "connection refused: nothing listens on " + where + " (is the device server running?)";
    } else if (err != 0) {
        why = strerror(err);
    } else {
        why = "the port layer gave no reason";
    }
    fprintf(stderr, "supplyctl: cannot connect to the supply at %s: %s\n", endpoint, why.c_str());
    return 0;
}

// Whether the peer of a TCP port has closed the connection, watching for up
// to graceMs. Bytes that arrive meanwhile (a device server's greeting before
// it hangs up, say) are read and dropped.
bool peerClosed(int fd, int graceMs) {
    const long long start = monotonicMs();
    for (;;) {
        const long long spent = monotonicMs() - start;
        int left = spent >= graceMs ? 0 : static_cast<int>(graceMs - spent);
        pollfd watched{fd, POLLIN | POLLRDHUP, 0};
        int ready = poll(&watched, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        if ((watched.revents & (POLLHUP | POLLERR | POLLRDHUP)) != 0) return true;
        char scratch[256];
        ssize_t got = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (got == 0) return true;
        if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return true;
        if (left == 0) return false;
    }
}

void reportClosed(const char* endpoint) {
    fprintf(stderr,
            "supplyctl: the device server at %s closed the connection; nothing reached the supply "
            "(another client, such as a running charger, may hold it)\n",
            endpoint);
}

// ---------------------------------------------------------------------------
// Commands

struct Port {
    const char* endpoint;
    int fd;
    bool tcp;
};

// A command the driver sent is confirmed only once the connection is seen
// to stay open.
int confirmSent(const Port& port, int result) {
    if (result != 0) {
        // The port layer refuses a send on a connection it has seen closed.
        if (port.tcp && (portEnded(port.fd) == 1 || peerClosed(port.fd, 0))) reportClosed(port.endpoint);
        return EXIT_NO_ANSWER;
    }
    if (port.tcp && peerClosed(port.fd, CLOSE_GRACE_MS)) {
        reportClosed(port.endpoint);
        return EXIT_NO_ANSWER;
    }
    return EXIT_OK;
}

// Why a query got nothing usable: the connection is gone, or the supply kept
// silent through all of the driver's attempts. Always EXIT_NO_ANSWER.
int reportNoAnswer(const Port& port, const char* query) {
    if (port.tcp && (portEnded(port.fd) == 1 || peerClosed(port.fd, 0))) {
        reportClosed(port.endpoint);
    } else {
        fprintf(stderr, "supplyctl: the supply at %s did not answer %s (%d attempts, %d s)\n", port.endpoint,
                query, QUERY_ATTEMPTS, QUERY_ATTEMPTS * QUERY_WAIT_SECONDS);
    }
    return EXIT_NO_ANSWER;
}

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
// line that prints its value. A supply that does not answer the first query
// is not asked the other eight (each would take as long again), nor is one
// whose connection has closed.
int runStatus(const Port& port) {
    const int fd = port.fd;
    bool all = true;
    double value = 0.0;
    int result = xfrGetIOut(fd, &value);
    all &= printDouble("IOUT", result == 1, value);
    if (result < 0) return reportNoAnswer(port, "IOUT?");

    struct DoubleQuery {
        const char* name;
        int (*query)(int, double*);
    };
    for (const DoubleQuery& q : {DoubleQuery{"VOUT", xfrGetVOut}, DoubleQuery{"ISET", xfrGetISet},
                                 DoubleQuery{"VSET", xfrGetVSet}}) {
        result = q.query(fd, &value);
        all &= printDouble(q.name, result == 1, value);
        if (result < 0 && port.tcp && peerClosed(fd, 0)) return reportNoAnswer(port, q.name);
    }
    struct IntQuery {
        const char* name;
        int (*query)(int, int*);
    };
    int number = 0;
    for (const IntQuery& q : {IntQuery{"OUT", xfrGetOut}, IntQuery{"ERR", xfrGetErr}}) {
        result = q.query(fd, &number);
        all &= printInt(q.name, result == 1, number);
        if (result < 0 && port.tcp && peerClosed(fd, 0)) return reportNoAnswer(port, q.name);
    }
    int asts = 0;
    int sts = 0;
    int fault = 0;
    int results[3];
    xfrGetStatusEach(fd, &asts, &sts, &fault, results);
    all &= printInt("ASTS", results[0] == 1, asts);
    all &= printInt("STS", results[1] == 1, sts);
    all &= printInt("FAULT", results[2] == 1, fault);
    if (!all && port.tcp && peerClosed(fd, 0)) reportClosed(port.endpoint);
    return all ? EXIT_OK : EXIT_NO_ANSWER;
}

std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * NANOSECONDS + now.tv_nsec;
}

// SIGINT and SIGTERM end a watch at once, even inside a query that waits
// for a silent supply. Every line is flushed whole, so a line cut short
// stays in the buffer and is never written.
void onWatchStop(int) { _exit(EXIT_OK); }

void printField(bool read, double value) {
    if (read) printf("%.4f", value);
}

// A line per interval until interrupted (status 0) or until the supply goes
// away: the connection closed, or a query not answered at all (status 1).
int runWatch(const Port& port, double seconds) {
    const auto interval = static_cast<std::int64_t>(seconds * static_cast<double>(NANOSECONDS));
    puts("time (s since 1970),IOUT (A),VOUT (V)");
    fflush(stdout);
    std::int64_t next = monotonicNanoseconds();
    for (;;) {
        long long now = static_cast<long long>(time(nullptr));
        double amperes = 0.0;
        double volts = 0.0;
        int amperesResult = xfrGetIOut(port.fd, &amperes);
        if (amperesResult < 0) return reportNoAnswer(port, "IOUT?");
        int voltsResult = xfrGetVOut(port.fd, &volts);
        if (voltsResult < 0) return reportNoAnswer(port, "VOUT?");
        printf("%lld,", now);
        printField(amperesResult == 1, amperes);
        putchar(',');
        printField(voltsResult == 1, volts);
        putchar('\n');
        fflush(stdout);
        // A slow supply delays the next line rather than bunching lines up.
        next += interval;
        std::int64_t current = monotonicNanoseconds();
        if (next < current) next = current;
        for (std::int64_t left = next - current; left > 0; left = next - monotonicNanoseconds()) {
            timespec wait{static_cast<time_t>(left / NANOSECONDS), static_cast<long>(left % NANOSECONDS)};
            nanosleep(&wait, nullptr);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Standard output holds the results only.
    QUIET_PORT_PROGRESS = 1;

    if (argc < 3) return usage("missing endpoint or command");
    const char* endpoint = argv[1];
    const Command* command = findCommand(argv[2]);
    if (command == nullptr) return usage(std::string("unknown command '") + argv[2] + "'");

    double value = 0.0;
    switch (command->kind) {
        case Kind::Status:
        case Kind::Fixed:
            if (argc != 3) return usage("this command takes no value");
            break;
        case Kind::Setpoint: {
            if (argc != 4) return usage("this command takes one value");
            if (!parseNumber(argv[3], &value)) return usage("the value is not a number");
            // Refused here, before the driver, with the unit and the limit.
            std::string why = outOfRange(*command, argv[3], value);
            if (!why.empty()) {
                fprintf(stderr, "supplyctl: %s\n", why.c_str());
                return EXIT_USAGE;
            }
            break;
        }
        case Kind::Watch:
            if (argc > 4) return usage("watch takes at most one value");
            value = DEFAULT_WATCH_SECONDS;
            if (argc == 4 && (!parseNumber(argv[3], &value) || value <= 0.0)) {
                return usage("SECONDS must be a positive number");
            }
            if (value > MAX_WATCH_SECONDS) value = MAX_WATCH_SECONDS;
            break;
    }

    // The port layer takes every endpoint that begins with "tcp" as TCP.
    const bool tcp = strncmp(endpoint, "tcp", 3) == 0;
    TcpEndpoint address;
    if (tcp) {
        std::string why = checkTcpEndpoint(endpoint, &address);
        if (!why.empty()) return usage(why);
    }

    if (command->kind == Kind::Watch) {
        signal(SIGINT, onWatchStop);
        signal(SIGTERM, onWatchStop);
    }

    int fd = 0;
    if (tcp) {
        std::string why = lookUp(address);
        if (!why.empty()) {
            fprintf(stderr, "supplyctl: cannot connect to the supply at %s: %s\n", endpoint, why.c_str());
            return EXIT_NO_ENDPOINT;
        }
        fd = openTcp(endpoint, address);
    } else if (openPort(endpoint, &fd, LINE_SPEED, LINE_DATABITS, LINE_STOPBITS, LINE_PARITY) <= 0) {
        fprintf(stderr, "supplyctl: cannot open %s\n", endpoint);
        fd = 0;
    }
    if (fd <= 0) return EXIT_NO_ENDPOINT;
    const Port port{endpoint, fd, tcp};

    switch (command->kind) {
        case Kind::Status:
            return runStatus(port);
        case Kind::Setpoint:
            return confirmSent(port, command->setpoint(fd, value));
        case Kind::Fixed:
            return confirmSent(port, command->fixed(fd));
        case Kind::Watch:
            return runWatch(port, value);
    }
    return EXIT_USAGE;
}

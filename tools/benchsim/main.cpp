// benchsim: a simulated power supply and battery pack for the charger, on
// loopback TCP ports (as two serial device servers would offer them) or on
// pseudo-terminals (as serial lines).
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "model.h"

namespace {

enum Instrument { SUPPLY = 0, PACK = 1 };
constexpr const char* INSTRUMENT_NAME[] = {"supply", "pack"};

struct Options {
    std::string address[2] = {"127.0.0.1:3002", "127.0.0.1:10001"};
    bool pty[2] = {false, false};
    double timeScale = 1.0;
    double stepSeconds = 0.0;  // > 0: each status request advances this much
    double initialCharge = 20.0;
    double ambient = 25.0;
    int paceBitsPerSecond = 0;  // > 0: pseudo-terminal output at this line speed
    bool quiet = false;
    // Faults.
    long silentAfter = -1;
    long closeAfter = -1;
    int splitMillis = -1;
    bool garbage = false;
    bool xoff = false;
    int replyLength = REPLY_LENGTH;
    bool supplyMute = false;
};

struct Chunk {
    double due;  // monotonic seconds
    std::string bytes;
};

struct Connection {
    int fd = -1;
    Instrument instrument = SUPPLY;
    bool isPty = false;
    std::string input;
    std::deque<Chunk> output;
    bool closeWhenSent = false;
    bool closed = false;
};

struct Listener {
    int fd = -1;
    Instrument instrument = SUPPLY;
};

struct Bench {
    Options options;
    Supply supply;
    Pack pack;
    double started = 0.0;
    double simulatedUntil = 0.0;  // monotonic seconds the model has reached
    long replies = 0;
    int lastBalance = 0;
    bool wasFull = false;
    std::vector<Listener> listeners;
    std::vector<Connection> connections;
    int ptySlaves[2] = {-1, -1};
};

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double START = monotonicSeconds();
bool QUIET = false;

void logEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
void logEvent(const char* format, ...) {
    if (QUIET) return;
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fprintf(stderr, "[%8.3f] %s\n", monotonicSeconds() - START, line);
}

// A command without its line end, for the log.
std::string printable(const std::string& text) {
    std::string shown;
    for (char c : text) {
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
            shown += hex;
        } else {
            shown += c;
        }
    }
    return shown;
}

void usage(FILE* out) {
    fputs(
        "usage: benchsim [options]\n"
        "Plays the charger's power supply and battery pack.\n"
        "  --supply HOST:PORT     supply's TCP address (127.0.0.1:3002; port 0: any free port)\n"
        "  --pack HOST:PORT       pack's TCP address (127.0.0.1:10001)\n"
        "  --supply-pty           serve the supply on a pseudo-terminal instead\n"
        "  --pack-pty             serve the pack on a pseudo-terminal instead\n"
        "  --pace BPS             send on pseudo-terminals at the speed of a BPS 8N1 line\n"
        "  --time-scale X         simulated seconds per real second (1)\n"
        "  --step SECONDS         advance SECONDS at each status request instead of with the clock\n"
        "  --initial-charge PCT   the pack's state of charge at start (20)\n"
        "  --ambient CELSIUS      temperature around the pack (25)\n"
        "  --pack-silent-after N  answer N status requests, then none\n"
        "  --pack-close-after N   close the pack connection after N replies\n"
        "  --pack-split MS        send each reply in two pieces, MS milliseconds apart\n"
        "  --pack-garbage         reply with 77 bytes that are not hexadecimal\n"
        "  --pack-xoff            answer the start command with an XOFF byte (0x13)\n"
        "  --pack-length N        reply with N bytes instead of 77\n"
        "  --supply-mute          take the supply's commands but answer no query\n"
        "  --quiet                no event log on standard error\n"
        "Prints each instrument's endpoint on standard output (\"pack tcp:127.0.0.1:10001\",\n"
        "\"pack /dev/pts/3\"). Replies end with \"XX\\n\" after the 74 hexadecimal characters.\n",
        out);
}

bool parseNumber(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    errno = 0;
    double parsed = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(parsed) || parsed < low ||
        parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

// Returns 0, or 2 after a message for a bad command line.
int parseOptions(int argc, char** argv, Options* options) {
    enum {
        SUPPLY_ADDRESS = 1000,
        PACK_ADDRESS,
        SUPPLY_PTY,
        PACK_PTY,
        PACE,
        TIME_SCALE,
        STEP,
        INITIAL_CHARGE,
        AMBIENT,
        SILENT_AFTER,
        CLOSE_AFTER,
        SPLIT,
        GARBAGE,
        XOFF,
        LENGTH,
        SUPPLY_MUTE,
        QUIET_OPTION,
        HELP,
    };
    const option longOptions[] = {
        {"supply", required_argument, nullptr, SUPPLY_ADDRESS},
        {"pack", required_argument, nullptr, PACK_ADDRESS},
        {"supply-pty", no_argument, nullptr, SUPPLY_PTY},
        {"pack-pty", no_argument, nullptr, PACK_PTY},
        {"pace", required_argument, nullptr, PACE},
        {"time-scale", required_argument, nullptr, TIME_SCALE},
        {"step", required_argument, nullptr, STEP},
        {"initial-charge", required_argument, nullptr, INITIAL_CHARGE},
        {"ambient", required_argument, nullptr, AMBIENT},
        {"pack-silent-after", required_argument, nullptr, SILENT_AFTER},
        {"pack-close-after", required_argument, nullptr, CLOSE_AFTER},
        {"pack-split", required_argument, nullptr, SPLIT},
        {"pack-garbage", no_argument, nullptr, GARBAGE},
        {"pack-xoff", no_argument, nullptr, XOFF},
        {"pack-length", required_argument, nullptr, LENGTH},
        {"supply-mute", no_argument, nullptr, SUPPLY_MUTE},
        {"quiet", no_argument, nullptr, QUIET_OPTION},
        {"help", no_argument, nullptr, HELP},
        {nullptr, 0, nullptr, 0},
    };
    int choice;
    while ((choice = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        double value = 0.0;
        bool good = true;
        switch (choice) {
            case SUPPLY_ADDRESS:
                options->address[SUPPLY] = optarg;
                break;
            case PACK_ADDRESS:
                options->address[PACK] = optarg;
                break;
            case SUPPLY_PTY:
                options->pty[SUPPLY] = true;
                break;
            case PACK_PTY:
                options->pty[PACK] = true;
                break;
            case PACE:
                good = parseNumber(optarg, 50, 4000000, &value);
                options->paceBitsPerSecond = static_cast<int>(value);
                break;
            case TIME_SCALE:
                good = parseNumber(optarg, 0.001, 1e6, &options->timeScale);
                break;
            case STEP:
                good = parseNumber(optarg, 0.001, 1e6, &options->stepSeconds);
                break;
            case INITIAL_CHARGE:
                good = parseNumber(optarg, 0, 100, &options->initialCharge);
                break;
            case AMBIENT:
                good = parseNumber(optarg, -40, 80, &options->ambient);
                break;
            case SILENT_AFTER:
                good = parseNumber(optarg, 0, 1e9, &value);
                options->silentAfter = static_cast<long>(value);
                break;
            case CLOSE_AFTER:
                good = parseNumber(optarg, 0, 1e9, &value);
                options->closeAfter = static_cast<long>(value);
                break;
            case SPLIT:
                good = parseNumber(optarg, 0, 60000, &value);
                options->splitMillis = static_cast<int>(value);
                break;
            case GARBAGE:
                options->garbage = true;
                break;
            case XOFF:
                options->xoff = true;
                break;
            case LENGTH:
                good = parseNumber(optarg, 1, 4096, &value);
                options->replyLength = static_cast<int>(value);
                break;
            case SUPPLY_MUTE:
                options->supplyMute = true;
                break;
            case QUIET_OPTION:
                options->quiet = true;
                break;
            case HELP:
                usage(stdout);
                exit(0);
            default:
                usage(stderr);
                return 2;
        }
        if (!good) {
            fprintf(stderr, "benchsim: bad value '%s'\n", optarg);
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "benchsim: unexpected argument '%s'\n", argv[optind]);
        return 2;
    }
    return 0;
}

// Listens on "HOST:PORT" (a dotted IPv4 host). Returns the socket or -1.
int listenAt(const std::string& address, Instrument instrument, std::string* endpoint) {
    const std::size_t colon = address.rfind(':');
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    char* end = nullptr;
    const long port = colon == std::string::npos ? -1 : strtol(address.c_str() + colon + 1, &end, 10);
    if (port < 0 || port > 65535 || *end != '\0' ||
        inet_pton(AF_INET, address.substr(0, colon).c_str(), &socketAddress.sin_addr) != 1) {
        fprintf(stderr, "benchsim: %s: bad address '%s' (HOST:PORT)\n", INSTRUMENT_NAME[instrument],
                address.c_str());
        return -1;
    }
    socketAddress.sin_port = htons(static_cast<uint16_t>(port));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0 ||
        listen(fd, 4) != 0) {
        fprintf(stderr, "benchsim: %s: cannot listen on %s: %s\n", INSTRUMENT_NAME[instrument],
                address.c_str(), strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    socklen_t size = sizeof socketAddress;
    getsockname(fd, reinterpret_cast<sockaddr*>(&socketAddress), &size);
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &socketAddress.sin_addr, host, sizeof host);
    *endpoint = "tcp:" + std::string(host) + ":" + std::to_string(ntohs(socketAddress.sin_port));
    return fd;
}

// Opens a pseudo-terminal for an instrument. The slave end stays open here
// too, so that the master keeps working while no client has the line open.
int openPseudoTerminal(Bench* bench, Instrument instrument, std::string* path) {
    int master = -1;
    int slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        fprintf(stderr, "benchsim: %s: openpty: %s\n", INSTRUMENT_NAME[instrument], strerror(errno));
        return -1;
    }
    // The line keeps the settings a terminal line starts with (echo, line
    // editing, XON/XOFF, output processing), as a serial port does after
    // boot: a client must set it up raw itself.
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    bench->ptySlaves[instrument] = slave;
    *path = name;
    return master;
}

void queue(Bench* bench, Connection* connection, const std::string& bytes, double delaySeconds) {
    const double now = monotonicSeconds();
    double due = now + delaySeconds;
    if (connection->isPty && bench->options.paceBitsPerSecond > 0) {
        // One start, eight data and one stop bit per character.
        const double characterSeconds = 10.0 / bench->options.paceBitsPerSecond;
        if (!connection->output.empty())
            due = std::max(due, connection->output.back().due + characterSeconds);
        for (char c : bytes) {
            connection->output.push_back({due, std::string(1, c)});
            due += characterSeconds;
        }
        return;
    }
    connection->output.push_back({due, bytes});
}

// Brings the model up to the present, unless requests step it.
void catchUp(Bench* bench) {
    const double now = monotonicSeconds();
    if (bench->options.stepSeconds <= 0.0) {
        advance(&bench->supply, &bench->pack, (now - bench->simulatedUntil) * bench->options.timeScale);
    }
    bench->simulatedUntil = now;
}

void logBalance(Bench* bench, const PackReading& reading) {
    if (reading.balance != bench->lastBalance) {
        int cells = __builtin_popcount(static_cast<unsigned>(reading.balance));
        logEvent("pack: balance register %02X (%d of 8 cells at top)", reading.balance, cells);
        bench->lastBalance = reading.balance;
    }
    const bool full = reading.balance == 0xFF;
    if (full && !bench->wasFull) logEvent("pack: full");
    bench->wasFull = full;
}

std::string reply(const Bench& bench, const PackReading& reading) {
    std::string text = formatStatusReply(reading);
    if (bench.options.garbage) {
        // Same length, but no field scans as a number.
        text.replace(0, 74, std::string(74, 'G'));
    }
    const int length = bench.options.replyLength;
    if (length < REPLY_LENGTH) {
        text.resize(static_cast<std::size_t>(length));
    } else if (length > REPLY_LENGTH) {
        text.insert(74, std::string(static_cast<std::size_t>(length - REPLY_LENGTH), 'Z'));
    }
    return text;
}

void packCommand(Bench* bench, Connection* connection, const std::string& command) {
    catchUp(bench);
    if (command == "@AC") {
        bench->pack.enabled = true;
        logEvent("pack: @AC, battery enabled");
        if (bench->options.xoff) {
            // On a line with software flow control this would stop the
            // client's output.
            queue(bench, connection, "\x13", 0.0);
            logEvent("pack: sent XOFF");
        }
    } else if (command == "@AF") {
        bench->pack.enabled = false;
        logEvent("pack: @AF, battery off at %.2f %%", bench->pack.charge);
    } else if (command == "@RQ") {
        if (bench->options.stepSeconds > 0.0)
            advance(&bench->supply, &bench->pack, bench->options.stepSeconds);
        advance(&bench->supply, &bench->pack, 0.0);
        const PackReading reading = readPack(bench->pack);
        const Options& options = bench->options;
        if (options.silentAfter >= 0 && bench->replies >= options.silentAfter) {
            logEvent("pack: @RQ not answered (silent after %ld replies)", options.silentAfter);
            return;
        }
        const std::string text = reply(*bench, reading);
        if (options.splitMillis >= 0) {
            const std::size_t half = text.size() / 2;
            queue(bench, connection, text.substr(0, half), 0.0);
            queue(bench, connection, text.substr(half), options.splitMillis / 1000.0);
        } else {
            queue(bench, connection, text, 0.0);
        }
        bench->replies++;
        logEvent("pack: @RQ -> gauge %.2f %% current %.2f A balance %02X status %04X (%zu bytes)",
                 reading.gasGauge / 100.0, reading.current / 100.0, reading.balance, reading.status,
                 text.size());
        logBalance(bench, reading);
        if (options.closeAfter >= 0 && bench->replies >= options.closeAfter) connection->closeWhenSent = true;
    } else {
        logEvent("pack: unknown command '%s'", printable(command).c_str());
    }
}

void supplyCommandFrom(Bench* bench, Connection* connection, const std::string& command) {
    catchUp(bench);
    const bool wasOn = bench->supply.outputOn;
    const double amperes = bench->supply.amperes;
    std::string answer = supplyCommand(&bench->supply, bench->pack, command);
    if (answer.empty()) {
        if (bench->supply.error != 0) {
            logEvent("supply: '%s' rejected, error %d", printable(command).c_str(), bench->supply.error);
        } else if (bench->supply.amperes != amperes) {
            logEvent("supply: %s, current setpoint %.2f A", command.c_str(), bench->supply.amperes);
        } else if (bench->supply.outputOn != wasOn) {
            logEvent("supply: %s, output %s", command.c_str(), bench->supply.outputOn ? "on" : "off");
        } else {
            logEvent("supply: %s", command.c_str());
        }
        return;
    }
    if (bench->options.supplyMute) {
        logEvent("supply: %s not answered (mute)", command.c_str());
        return;
    }
    queue(bench, connection, answer, 0.0);
    logEvent("supply: %s -> %s", command.c_str(), printable(answer).c_str());
}

void handleInput(Bench* bench, Connection* connection) {
    std::size_t end;
    // The supply's commands end with a carriage return, the pack's with a
    // line feed; either ends a command of either instrument.
    while ((end = connection->input.find_first_of("\r\n")) != std::string::npos) {
        const std::string command = connection->input.substr(0, end);
        connection->input.erase(0, end + 1);
        if (command.empty()) continue;
        if (connection->instrument == PACK) {
            packCommand(bench, connection, command);
        } else {
            supplyCommandFrom(bench, connection, command);
        }
    }
    // A line that never ends is not a command.
    if (connection->input.size() > 256) connection->input.clear();
}

void closeConnection(Connection* connection) {
    logEvent("%s: connection closed", INSTRUMENT_NAME[connection->instrument]);
    close(connection->fd);
    connection->closed = true;
}

// Writes the chunks that are due. A peer that cannot take them now gets the
// rest later.
void sendDue(Connection* connection, double now) {
    while (!connection->output.empty() && connection->output.front().due <= now) {
        Chunk& chunk = connection->output.front();
        ssize_t sent = connection->isPty ? write(connection->fd, chunk.bytes.data(), chunk.bytes.size())
                                         : send(connection->fd, chunk.bytes.data(), chunk.bytes.size(),
                                                MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EINTR) return;
            logEvent("%s: send failed: %s", INSTRUMENT_NAME[connection->instrument], strerror(errno));
            connection->output.clear();
            if (!connection->isPty) closeConnection(connection);
            return;
        }
        chunk.bytes.erase(0, static_cast<std::size_t>(sent));
        if (!chunk.bytes.empty()) return;
        connection->output.pop_front();
    }
    if (connection->output.empty() && connection->closeWhenSent && !connection->closed) {
        if (connection->isPty) {
            // A line cannot be hung up here: the pack just stops answering.
            connection->closeWhenSent = false;
            connection->input.clear();
            connection->fd = -1;
            connection->closed = true;
            logEvent("pack: line dropped");
        } else {
            closeConnection(connection);
        }
    }
}

int run(Bench* bench) {
    for (;;) {
        std::vector<pollfd> fds;
        for (const Listener& listener : bench->listeners) fds.push_back({listener.fd, POLLIN, 0});
        for (const Connection& connection : bench->connections) {
            short events = POLLIN;
            const double now = monotonicSeconds();
            if (!connection.output.empty() && connection.output.front().due <= now) events |= POLLOUT;
            fds.push_back({connection.fd, events, 0});
        }
        double wait = -1.0;
        const double now = monotonicSeconds();
        for (const Connection& connection : bench->connections) {
            if (connection.output.empty()) continue;
            const double until = std::max(0.0, connection.output.front().due - now);
            if (wait < 0.0 || until < wait) wait = until;
        }
        timespec timeout{};
        if (wait >= 0.0) {
            timeout.tv_sec = static_cast<time_t>(wait);
            timeout.tv_nsec = static_cast<long>((wait - static_cast<double>(timeout.tv_sec)) * 1e9);
        }
        if (ppoll(fds.data(), fds.size(), wait >= 0.0 ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "benchsim: poll: %s\n", strerror(errno));
            return 1;
        }

        std::size_t index = 0;
        for (const Listener& listener : bench->listeners) {
            if ((fds[index++].revents & POLLIN) == 0) continue;
            sockaddr_in peer{};
            socklen_t size = sizeof peer;
            int fd = accept4(listener.fd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
            if (fd < 0) continue;
            char host[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
            logEvent("%s: connection from %s:%d", INSTRUMENT_NAME[listener.instrument], host,
                     ntohs(peer.sin_port));
            Connection connection;
            connection.fd = fd;
            connection.instrument = listener.instrument;
            bench->connections.push_back(connection);
        }
        const std::size_t polled = fds.size();
        for (std::size_t c = 0; index < polled && c < bench->connections.size(); ++c, ++index) {
            Connection& connection = bench->connections[c];
            const short revents = fds[index].revents;
            if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char buffer[512];
                ssize_t got = read(connection.fd, buffer, sizeof buffer);
                if (got > 0) {
                    connection.input.append(buffer, static_cast<std::size_t>(got));
                    handleInput(bench, &connection);
                } else if (!connection.isPty && (got == 0 || (errno != EAGAIN && errno != EINTR))) {
                    connection.output.clear();
                    closeConnection(&connection);
                }
            }
            if (!connection.closed) sendDue(&connection, monotonicSeconds());
        }
        std::vector<Connection> open;
        for (Connection& connection : bench->connections) {
            if (!connection.closed) open.push_back(std::move(connection));
        }
        bench->connections = std::move(open);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Bench bench;
    if (int status = parseOptions(argc, argv, &bench.options); status != 0) return status;
    QUIET = bench.options.quiet;
    signal(SIGPIPE, SIG_IGN);

    initPack(&bench.pack, bench.options.initialCharge, bench.options.ambient);
    for (Instrument instrument : {SUPPLY, PACK}) {
        std::string endpoint;
        if (bench.options.pty[instrument]) {
            int master = openPseudoTerminal(&bench, instrument, &endpoint);
            if (master < 0) return 1;
            Connection connection;
            connection.fd = master;
            connection.instrument = instrument;
            connection.isPty = true;
            bench.connections.push_back(connection);
        } else {
            int fd = listenAt(bench.options.address[instrument], instrument, &endpoint);
            if (fd < 0) return 1;
            bench.listeners.push_back({fd, instrument});
        }
        printf("%s %s\n", INSTRUMENT_NAME[instrument], endpoint.c_str());
        logEvent("%s: serving on %s", INSTRUMENT_NAME[instrument], endpoint.c_str());
    }
    fflush(stdout);
    logEvent("pack: state of charge %.1f %%, %g simulated seconds %s", bench.pack.charge,
             bench.options.stepSeconds > 0.0 ? bench.options.stepSeconds : bench.options.timeScale,
             bench.options.stepSeconds > 0.0 ? "per status request" : "per second");
    bench.started = monotonicSeconds();
    bench.simulatedUntil = bench.started;
    return run(&bench);
}

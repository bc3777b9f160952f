#include "serial/serial.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "util/settings.h"
#include "util/util.h"

PortRecord* ports = nullptr;

namespace {

constexpr const char* MODULE = "serial";

// Lines of the located error messages.
constexpr int LINE_NO_PORT = 90;
constexpr int LINE_SEND_SHORT = 118;
constexpr int LINE_SEND_DRAIN = 124;
constexpr int LINE_RECV_SELECT = 186;
constexpr int LINE_RECV_NO_BYTES = 198;
constexpr int LINE_RECV_READ = 199;
constexpr int LINE_TCP_OPEN = 300;
constexpr int LINE_SERIAL_OPEN = 330;
constexpr int LINE_TCGETATTR = 340;
constexpr int LINE_SPEED = 350;
constexpr int LINE_DATABITS = 365;
constexpr int LINE_PARITY = 378;
constexpr int LINE_TCSETATTR = 412;
constexpr int LINE_FLUSH_RECV = 458;
constexpr int LINE_DISCARD = 470;
constexpr int LINE_LOG_OPEN = 481;
constexpr int LINE_LOG_CLOSE = 490;

constexpr int RECV_WAIT_MS = 2000;
constexpr int SEND_PAUSE_MS = 10;
// A peer that stops reading, a line held by flow control or an address
// that does not answer must not hold the charge loop longer than this.
constexpr int SEND_DEADLINE_MS = 2000;
constexpr int CONNECT_DEADLINE_MS = 2000;
// How often a draining line's output queue is looked at.
constexpr int DRAIN_CHECK_MS = 5;
constexpr std::size_t LOG_NAME_SIZE = 256;

struct LineSpeed {
    int bitsPerSecond;
    speed_t code;
};

// The bit rates that have a terminal line speed.
constexpr std::array<LineSpeed, 24> LINE_SPEEDS{{
    {50, B50},         {75, B75},         {110, B110},         {134, B134},         {150, B150},
    {200, B200},       {300, B300},       {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {2000000, B2000000},
}};

void progress(const char* line) {
    if (QUIET_PORT_PROGRESS == 0) fputs(line, stdout);
}

PortRecord* recordOf(int fd) {
    for (PortRecord* record = ports; record != nullptr; record = record->next) {
        if (record->fd == fd) return record;
    }
    return nullptr;
}

// The port's record, or null after saying that there is none.
PortRecord* findPort(int fd, const char* caller) {
    PortRecord* record = recordOf(fd);
    if (record == nullptr) {
        printLocation(MODULE, LINE_NO_PORT);
        fprintf(stderr, "err: %s: no open port with fd=%d\n", caller, fd);
    }
    return record;
}

void markEnded(int fd) {
    if (PortRecord* record = recordOf(fd); record != nullptr) record->ended = 1;
}

// Waits until fd reports one of events, but not past deadline (monotonic
// milliseconds). Returns 1, or -1 with errno ETIMEDOUT when the deadline
// passed, EINTR when a stop signal is waiting to be acted on, or poll's own.
// Milliseconds left before deadline (monotonic milliseconds); -1 with errno
// EINTR when a stop signal is waiting to be acted on, or ETIMEDOUT when the
// deadline has passed.
long long timeLeft(long long deadline) {
    if (STOP_SIGNAL != 0) {
        errno = EINTR;
        return -1;
    }
    const long long left = deadline - monotonicMs();
    if (left <= 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    return left;
}

int waitFor(int fd, short events, long long deadline) {
    for (;;) {
        const long long left = timeLeft(deadline);
        if (left < 0) return -1;
        pollfd wait{fd, events, 0};
        int ready = poll(&wait, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (ready > 0) return 1;
        if (ready < 0 && errno != EINTR) return -1;
    }
}

// Errors that say the connection (or the line) is gone for good.
bool endsConnection(int err) {
    return err == EPIPE || err == ECONNRESET || err == ENOTCONN || err == ECONNABORTED || err == EIO ||
           err == ENXIO || err == ENODEV;
}

// Whether the peer of a TCP port has closed its end. A send into such a
// connection may still be taken by the kernel and go nowhere (a current
// setpoint, or the supply's off command); it is caught here instead.
bool peerHasClosed(int fd, int* err) {
    pollfd state{fd, POLLRDHUP, 0};
    if (poll(&state, 1, 0) <= 0) return false;
    if ((state.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) return false;
    int pending = 0;
    socklen_t size = sizeof pending;
    if ((state.revents & POLLERR) != 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) == 0 &&
        pending != 0) {
        *err = pending;
    } else {
        *err = EPIPE;
    }
    return true;
}

// Waits until a serial line has transmitted what was written, up to
// deadline. The output queue is watched rather than waited on with tcdrain
// alone, which could block for ever on a line held by flow control.
int drainLine(int fd, long long deadline) {
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return tcdrain(fd);
        const long long left = timeLeft(deadline);
        if (left < 0) return -1;
        msleep(left < DRAIN_CHECK_MS ? static_cast<int>(left) : DRAIN_CHECK_MS);
    }
}

PortRecord* appendRecord() {
    auto* record = static_cast<PortRecord*>(calloc(1, sizeof(PortRecord)));
    if (record == nullptr) return nullptr;
    PortRecord* last = ports;
    while (last != nullptr && last->next != nullptr) last = last->next;
    record->prev = last;
    if (last == nullptr) {
        ports = record;
    } else {
        last->next = record;
    }
    return record;
}

void removeRecord(PortRecord* record) {
    if (record->prev != nullptr) {
        record->prev->next = record->next;
    } else {
        ports = record->next;
    }
    if (record->next != nullptr) record->next->prev = record->prev;
    free(record);
}

int openTcp(PortRecord* record, const char* endpoint) {
    record->isTcp = 1;
    char* copy = strdup(endpoint);
    if (copy == nullptr) return -1;
    if (DEBUG_LEVEL > 0) fprintf(stderr, "server string is %s\n", copy);

    // Runs of ":" count as one separator; empty fields are skipped.
    char* rest = nullptr;
    const char* protocol = strtok_r(copy, ":", &rest);
    const char* host = strtok_r(nullptr, ":", &rest);
    const char* portText = strtok_r(nullptr, ":", &rest);
    int port = 0;
    if (portText != nullptr) {
        long value = strtol(portText, nullptr, 10);
        port = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
    }

    int fd = -1;
    if (host != nullptr && portText != nullptr) fd = connectAtPort(protocol, host, port);
    record->fd = fd;
    if (fd < 0) {
        int err = errno;
        printLocation(MODULE, LINE_TCP_OPEN);
        fprintf(stderr, "open of protocol '%s' on server '%s' on port '%d' failed\n",
                protocol != nullptr ? protocol : "", host != nullptr ? host : "", port);
        free(copy);
        errno = err;
        return -1;
    }
    free(copy);
    return fd;
}

bool lookUpSpeed(int bitsPerSecond, speed_t* code) {
    for (const LineSpeed& speed : LINE_SPEEDS) {
        if (speed.bitsPerSecond == bitsPerSecond) {
            *code = speed.code;
            return true;
        }
    }
    return false;
}

// Sets the line up raw with the given speed, size, stop bits and parity;
// returns false after printing why not, with the line's settings unchanged.
bool setUpLine(int fd, const char* endpoint, int speed, int databits, int stopbits, const char* parity) {
    // Reads and writes must block; the device open may have left O_NONBLOCK.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        int err = errno;
        printLocation(MODULE, LINE_TCGETATTR);
        fprintf(stderr, "err: openPort: could not tcgetattr on \"%s\": %s\n", endpoint, strerror(err));
        return false;
    }
    tcflush(fd, TCIOFLUSH);

    // A raw line: nothing on it may change, hold or act on a byte. No break,
    // parity-mark or stripping of the eighth bit on input, no carriage return
    // or line feed translation either way, no XON/XOFF (a stray 0x13 from an
    // instrument would stop every later write), no RTS/CTS (a device server's
    // line or a 3-wire cable has no CTS), no echo, no line editing, no signal
    // or extended-function characters.
    settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~CRTSCTS;

    speed_t code;
    if (!lookUpSpeed(speed, &code)) {
        printLocation(MODULE, LINE_SPEED);
        fprintf(stderr, "err: openPort: port \"%s\" has bad speed=%d\n", endpoint, speed);
        return false;
    }
    cfsetispeed(&settings, code);
    cfsetospeed(&settings, code);

    if (stopbits == 2) {
        settings.c_cflag |= CSTOPB;
    } else {
        settings.c_cflag &= ~CSTOPB;
    }

    tcflag_t size;
    switch (databits) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            printLocation(MODULE, LINE_DATABITS);
            fprintf(stderr, "err: openPort: port \"%s\" has bad databits=%d\n", endpoint, databits);
            return false;
    }
    settings.c_cflag = (settings.c_cflag & ~CSIZE) | size;

    if (strcasecmp(parity, "NONE") == 0) {
        settings.c_cflag &= ~PARENB;
    } else if (strcasecmp(parity, "EVEN") == 0) {
        settings.c_cflag |= PARENB;
        settings.c_cflag &= ~PARODD;
    } else if (strcasecmp(parity, "ODD") == 0) {
        settings.c_cflag |= PARENB | PARODD;
    } else {
        printLocation(MODULE, LINE_PARITY);
        fprintf(stderr, "err: openPort: port \"%s\" has bad parity=%s\n", endpoint, parity);
        return false;
    }

    // A read returns as soon as one byte is there, or empty after 1 second.
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 10;
    settings.c_cflag |= CLOCAL | CREAD;

    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        int err = errno;
        printLocation(MODULE, LINE_TCSETATTR);
        fprintf(stderr, "err: openPort: tcsetattr failed on \"%s\": %s\n", endpoint, strerror(err));
        return false;
    }
    return true;
}

int openSerial(PortRecord* record, const char* endpoint, int speed, int databits, int stopbits,
               const char* parity) {
    record->isTcp = 0;
    int fd = open(endpoint, O_RDWR | O_NOCTTY | O_SYNC);
    if (fd <= 0) {
        int err = errno;
        // Descriptor 0 cannot name a port: 0 means "not opened" to callers.
        if (fd == 0) close(fd);
        printLocation(MODULE, LINE_SERIAL_OPEN);
        fprintf(stderr, "err: openPort: could not open \"%s\": %s\n", endpoint, strerror(err));
        errno = err;
        return fd;
    }
    if (!setUpLine(fd, endpoint, speed, databits, stopbits, parity)) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    record->fd = fd;
    return fd;
}

// The first got bytes of a reply are in buf: reads what follows them until
// len bytes are in, the line has been quiet for RECV_QUIET_GAP_MS, or
// RECV_WAIT_MS have passed since the first byte. A reply reaches us in as
// many pieces as the line and any device server on it cut it into; where it
// ends is decided by that quiet, never by a piece. End of file or an error
// ends the gathering with what has come; the next receive meets it again
// and reports it.
int gatherRest(int fd, char* buf, int len, int got) {
    const long long firstByte = monotonicMs();
    long long quietFrom = firstByte;
    while (got < len) {
        const long long deadline = std::min(quietFrom + RECV_QUIET_GAP_MS, firstByte + RECV_WAIT_MS);
        const long long left = deadline - monotonicMs();
        if (left <= 0) break;
        pollfd more{fd, POLLIN, 0};
        const int ready = poll(&more, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            if (STOP_SIGNAL != 0) break;
            continue;
        }
        // A pending error (a reset connection) is left for the next receive
        // to report: reading it here would consume it.
        if (ready <= 0 || (more.revents & (POLLERR | POLLNVAL)) != 0) break;
        const ssize_t count = read(fd, buf + got, static_cast<std::size_t>(len - got));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        got += static_cast<int>(count);
        quietFrom = monotonicMs();
    }
    return got;
}

}  // namespace

int openPort(const char* endpoint, int* fd, int speed, int databits, int stopbits, const char* parity) {
    *fd = 0;
    PortRecord* record = appendRecord();
    if (record == nullptr) {
        fprintf(stderr, "err: openPort: out of memory opening \"%s\"\n", endpoint);
        return -1;
    }
    int result = strncmp(endpoint, "tcp", 3) == 0
                     ? openTcp(record, endpoint)
                     : openSerial(record, endpoint, speed, databits, stopbits, parity);
    if (result <= 0) {
        int err = errno;
        removeRecord(record);
        errno = err;
        return result == 0 ? 0 : -1;
    }
    *fd = result;
    return result;
}

int connectAtPort(const char* /*protocol*/, const char* host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (host[0] >= '0' && host[0] <= '9') {
        address.sin_addr.s_addr = inet_addr(host);
    } else {
        hostent* entry = gethostbyname(host);
        if (entry == nullptr || entry->h_addr_list[0] == nullptr) return -1;
        std::size_t size = static_cast<std::size_t>(entry->h_length);
        memcpy(&address.sin_addr, entry->h_addr_list[0],
               size < sizeof address.sin_addr ? size : sizeof address.sin_addr);
    }

    int sd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sd < 0) return -1;
    timeval timeout{2, 0};
    if (setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        int err = errno;
        fputs("unable to set socket receive timeout\n", stdout);
        close(sd);
        errno = err;
        return -1;
    }
    // Connect without blocking, then wait at most CONNECT_DEADLINE_MS: an
    // address that never answers would otherwise take minutes.
    const int flags = fcntl(sd, F_GETFL);
    fcntl(sd, F_SETFL, flags | O_NONBLOCK);
    int connected = connect(sd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (connected != 0 && errno == EINPROGRESS) {
        connected = waitFor(sd, POLLOUT, monotonicMs() + CONNECT_DEADLINE_MS) < 0 ? -1 : 0;
        int pending = 0;
        socklen_t size = sizeof pending;
        if (connected == 0 && (getsockopt(sd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0 || pending != 0)) {
            if (pending != 0) errno = pending;
            connected = -1;
        }
    }
    if (connected != 0) {
        int err = errno;
        close(sd);
        errno = err;
        return -1;
    }
    fcntl(sd, F_SETFL, flags);
    if (DEBUG_LEVEL > 0) fprintf(stderr, "sd is %d\n", sd);
    return sd;
}

int sendStr(int fd, const char* text) {
    PortRecord* record = findPort(fd, "sendStr");
    if (record == nullptr) return -1;
    std::size_t length = strlen(text);
    if (DEBUG_LEVEL > 3) {
        fprintf(stderr, "sendStr: Sending %d chars to serial port %d:%s\n", static_cast<int>(length), fd,
                text);
    }

    const long long deadline = monotonicMs() + SEND_DEADLINE_MS;
    std::size_t sent = 0;
    int err = 0;
    bool waitFailed = false;  // the deadline passed, or a stop signal came
    if (record->ended != 0) {
        err = ENOTCONN;
    } else if (record->isTcp != 0) {
        peerHasClosed(fd, &err);
    }
    // Written without blocking and waited on when full: a socket through
    // MSG_DONTWAIT (and MSG_NOSIGNAL, so that a closed peer gives EPIPE
    // rather than SIGPIPE), a line by making its descriptor non-blocking
    // for the while, since a blocking write waits for room for the whole text.
    const int lineFlags = record->isTcp != 0 ? -1 : fcntl(fd, F_GETFL);
    if (lineFlags >= 0 && (lineFlags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, lineFlags | O_NONBLOCK);
    while (err == 0 && sent < length) {
        ssize_t written = record->isTcp != 0
                              ? send(fd, text + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT)
                              : write(fd, text + sent, length - sent);
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            err = errno;
            break;
        }
        if (waitFor(fd, POLLOUT, deadline) < 0) {
            err = errno;
            waitFailed = true;
        }
    }
    if (lineFlags >= 0 && (lineFlags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, lineFlags);
    if (err != 0) {
        // Half a command must never be glued to the next one: a connection
        // that took part of the text is given up.
        if (sent > 0 || (!waitFailed && endsConnection(err))) record->ended = 1;
        printLocation(MODULE, LINE_SEND_SHORT);
        fprintf(stderr, "err: sendStr wrote %d of %d bytes: %s\n", sent > 0 ? static_cast<int>(sent) : -1,
                static_cast<int>(length), strerror(err));
        errno = err;
        return -1;
    }

    int drained = record->isTcp != 0 ? 0 : drainLine(fd, deadline);
    if (drained < 0) {
        err = errno;
        if (endsConnection(err)) record->ended = 1;
        printLocation(MODULE, LINE_SEND_DRAIN);
        fprintf(stderr, "err: sendStr tcdrain failed: %s\n", strerror(err));
        errno = err;
        return drained;
    }

    if (record->logFd != 0) {
        // One write of a fixed header and the text: no buffer sized by the text.
        char header[32];
        int headerLength = snprintf(header, sizeof header, "S%lld: ", static_cast<long long>(time(nullptr)));
        std::array<iovec, 2> parts{
            {{header, static_cast<std::size_t>(headerLength)}, {const_cast<char*>(text), length}}};
        ssize_t logged = writev(record->logFd, parts.data(), static_cast<int>(parts.size()));
        (void)logged;
    }
    msleep(SEND_PAUSE_MS);
    return 0;
}

int portEnded(int fd) {
    const PortRecord* record = recordOf(fd);
    if (record == nullptr) return -1;
    return record->ended != 0 ? 1 : 0;
}

int recvStr(int fd, char* buf, int len) {
    if (len <= 0) return 0;
    buf[0] = '\0';
    if (DEBUG_LEVEL > 4) fputs("recvStr: Starting while select loop...\n", stderr);
    progress("calling select\n");

    // poll rather than select: a descriptor of any value can be waited for.
    const long long deadline = monotonicMs() + RECV_WAIT_MS;
    pollfd wait{fd, POLLIN, 0};
    int ready;
    for (;;) {
        // A stop signal waiting to be acted on leaves only a look at what
        // is there already.
        const long long left = STOP_SIGNAL != 0 ? 0 : deadline - monotonicMs();
        ready = poll(&wait, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready >= 0 || errno != EINTR) break;
    }
    if (ready > 0 && (wait.revents & POLLNVAL) != 0) {
        ready = -1;
        errno = EBADF;
    }
    if (ready < 0) {
        int err = errno;
        perror("select returned error: ");
        printLocation(MODULE, LINE_RECV_SELECT);
        fprintf(stderr, "err: recvStr select failed %d: %s\n", ready, strerror(err));
        return -1;
    }
    if (ready == 0) {
        progress("no bytes ready\n");
        return 0;
    }
    if (QUIET_PORT_PROGRESS == 0) printf("select returned %d\n", ready);

    memset(buf, 0, static_cast<std::size_t>(len));
    ssize_t count = read(fd, buf, static_cast<std::size_t>(len));
    if (count < 0) {
        // A read error is reported, not taken for an end: the next send on
        // a connection that is really gone finds that out.
        int err = errno;
        printLocation(MODULE, LINE_RECV_READ);
        fprintf(stderr, "err: recvStr failed with %s", strerror(err));
        return -1;
    }
    if (count == 0) {
        // End of file: the peer closed the connection, and nothing will
        // ever come on it again.
        markEnded(fd);
        printLocation(MODULE, LINE_RECV_NO_BYTES);
        fputs("err: recvStr failed with no bytes\n", stderr);
        return 0;
    }
    return gatherRest(fd, buf, len, static_cast<int>(count));
}

int discardRecv(int fd, int maxBytes) {
    int total = 0;
    std::array<char, 256> scratch;
    while (total < maxBytes) {
        pollfd ready{fd, POLLIN, 0};
        int waiting = poll(&ready, 1, 0);
        if (waiting == 0) break;
        if (waiting < 0 || (ready.revents & POLLNVAL) != 0) {
            int err = waiting < 0 ? errno : EBADF;
            printLocation(MODULE, LINE_DISCARD);
            fprintf(stderr, "err: discardRecv failed: %s\n", strerror(err));
            return -1;
        }
        std::size_t want = static_cast<std::size_t>(maxBytes - total);
        if (want > scratch.size()) want = scratch.size();
        ssize_t count = read(fd, scratch.data(), want);
        if (count == 0) {
            // The peer closed the connection: there will never be a reply.
            markEnded(fd);
            break;
        }
        if (count < 0) break;  // nothing after all
        total += static_cast<int>(count);
    }
    return total;
}

int closePort(int fd) {
    if (PortRecord* record = recordOf(fd); record != nullptr) {
        if (record->isTcp != 0 && record->ended != 0) {
            // Reset rather than close: what is still queued (part of a
            // command a stalled peer did not take) must not go out later.
            linger reset{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        if (record->logFd != 0) close(record->logFd);
        removeRecord(record);
    }
    return close(fd);
}

int flushSend(int fd) {
    PortRecord* record = findPort(fd, "flushSend");
    if (record == nullptr) return -1;
    if (record->isTcp != 0) return 0;
    return drainLine(fd, monotonicMs() + SEND_DEADLINE_MS);
}

int flushRecv(int fd) {
    PortRecord* record = findPort(fd, "flushRecv");
    if (record == nullptr) return -1;
    if (record->isTcp != 0) return 0;
    int result = tcflush(fd, TCIFLUSH);
    if (result != 0) {
        int err = errno;
        printLocation(MODULE, LINE_FLUSH_RECV);
        fprintf(stderr, "err: flushRecv failed: %s\n", strerror(err));
    }
    return result;
}

int openLogFile(int fd, const char* name) {
    PortRecord* record = findPort(fd, "openLogFile");
    if (record == nullptr) return -1;
    if (record->logFd != 0) {
        close(record->logFd);
        record->logFd = 0;
    }

    char fileName[LOG_NAME_SIZE];
    int length =
        snprintf(fileName, sizeof fileName, "%s_%lld.log", name, static_cast<long long>(time(nullptr)));
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof fileName) {
        // A shortened name would create a file nobody asked for.
        printLocation(MODULE, LINE_LOG_OPEN);
        fprintf(stderr, "openLogFile: cannot create '%s_<seconds>.log' for writing:%s\n", name,
                strerror(ENAMETOOLONG));
        return -1;
    }
    int logFd = open(fileName, O_WRONLY | O_CREAT, 0666);
    if (logFd < 0) {
        int err = errno;
        printLocation(MODULE, LINE_LOG_OPEN);
        fprintf(stderr, "openLogFile: cannot create '%s' for writing:%s\n", fileName, strerror(err));
        return -1;
    }
    printf("Opened log file '%s' for port fd=%d\n", fileName, fd);
    record->logFd = logFd;
    return logFd;
}

int closeLogFile(int fd) {
    PortRecord* record = findPort(fd, "closeLogFile");
    if (record == nullptr) return -1;
    if (record->logFd == 0) {
        printLocation(MODULE, LINE_LOG_CLOSE);
        fprintf(stderr, "err: closeLogFile: port fd=%d has no send log\n", fd);
        return -1;
    }
    int result = close(record->logFd);
    record->logFd = 0;
    return result;
}

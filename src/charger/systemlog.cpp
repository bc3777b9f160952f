// The two system-log lines of each reply, handed to the log daemon by hand.
// The C library's syslog() blocks when the daemon stops reading, and would
// stop the charge with it; here a line that cannot go at once is dropped.
#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "charger/charger.h"

const char* SYSTEM_LOG_PATH = "/dev/log";

namespace {

int logFd = -1;
long droppedLines = 0;

int connectSystemLog() {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, SYSTEM_LOG_PATH, sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Sends one datagram; connects (again) when there is no connection or the
// one there leads nowhere, as after the daemon replaced /dev/log.
int deliver(const char* line, std::size_t length) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (logFd < 0) {
            logFd = connectSystemLog();
            if (logFd < 0) return -1;
        }
        if (send(logFd, line, length, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return 0;
        // The daemon is there but its queue is full: nothing to reconnect.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == EINTR) return -1;
        int err = errno;
        close(logFd);
        logFd = -1;
        errno = err;
    }
    return -1;
}

}  // namespace

int sendSystemLogLine(const char* text) {
    if (SYSTEM_LOG_PATH == nullptr) return 0;
    // The C library's format without openlog: "<PRI>Mmm dd hh:mm:ss NAME: TEXT",
    // the facility LOG_USER, the program's name as the tag and no process id.
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    if (strftime(stamp, sizeof stamp, "%h %e %T", &local) == 0) stamp[0] = '\0';
    char line[512];
    int length = snprintf(line, sizeof line, "<%d>%s %s: %s", LOG_USER | LOG_ERR, stamp,
                          program_invocation_short_name, text);
    if (length < 0) return -1;
    if (static_cast<std::size_t>(length) >= sizeof line) length = static_cast<int>(sizeof line) - 1;

    if (deliver(line, static_cast<std::size_t>(length)) != 0) {
        if (droppedLines++ == 0) {
            fprintf(stderr, "system log not taking lines (%s); dropping them until it does\n",
                    strerror(errno));
        }
        return -1;
    }
    if (droppedLines > 0) {
        fprintf(stderr, "system log taking lines again; %ld lines were dropped\n", droppedLines);
        droppedLines = 0;
    }
    return 0;
}

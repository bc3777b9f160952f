// Receives system-log datagrams at a path until SIGTERM or SIGINT, then
// prints how many arrived: a stand-in for the log daemon in a benchmark's
// own mount namespace.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {
volatile sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: syslog_sink PATH\n", stderr);
        return 2;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    unlink(argv[1]);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        perror("syslog_sink");
        return 1;
    }
    struct sigaction action{};
    action.sa_handler = requestStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    long messages = 0;
    char buffer[2048];
    while (stopRequested == 0) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 200) <= 0) continue;
        while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) ++messages;
    }
    fprintf(stderr, "syslog messages: %ld\n", messages);
    return 0;
}

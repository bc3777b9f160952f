// The supply driver's queries against arbitrary answers. The answer bytes are
// in the connection before the query goes out, so every receive returns at
// once; whatever a query leaves unread is thrown away before the next input.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "serial/serial.h"
#include "util/settings.h"
#include "xfr/xfr.h"

// The port layer's 10 ms pause after each send only slows the fuzzing down.
extern "C" int usleep(useconds_t) { return 0; }

// Every answer is in the connection before its query goes out, so no wait of
// the port layer can bring more bytes: a receive's wait for the line to fall
// quiet would only slow the fuzzing down (to some ten inputs a second).
extern "C" int poll(pollfd* fds, nfds_t count, int /*timeout*/) {
    const timespec now{0, 0};
    return ppoll(fds, count, &now, nullptr);
}

namespace {

struct Link {
    int driverFd = -1;  // the supply's port, as the driver sees it
    int supplyFd = -1;  // the far end, where the answers are written
};

Link connectLink() {
    Link link;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        perror("query_answer_fuzz: listener");
        abort();
    }
    std::string endpoint = "tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    if (openPort(endpoint.c_str(), &link.driverFd, 9600, 8, 1, "none") <= 0) abort();
    link.supplyFd = accept(listener, nullptr, nullptr);
    if (link.supplyFd < 0) abort();
    close(listener);
    return link;
}

const Link& link() {
    static const Link connected = [] {
        QUIET_PORT_PROGRESS = 1;
        return connectLink();
    }();
    return connected;
}

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count <= 0) abort();
        done += static_cast<std::size_t>(count);
    }
}

// Each exchange reads at most 20 bytes; the three of xfrGetStatus need more
// than 40 bytes waiting, or the last ones would wait for answers in vain.
constexpr std::size_t ANSWER_READ = 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const Link& l = link();
    const int query = data[0] % 7;
    std::string answer(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t needed = query == 6 ? 2 * ANSWER_READ + 1 : 1;
    if (answer.size() < needed) answer.append(needed - answer.size(), '\r');
    writeAll(l.supplyFd, answer);

    // Outputs start from a known value: a parse that fails must leave it.
    double value = -12345.0;
    int state = -12345;
    int sts = -12345;
    int fault = -12345;
    int result = 0;
    switch (query) {
        case 0:
            result = xfrGetIOut(l.driverFd, &value);
            break;
        case 1:
            result = xfrGetISet(l.driverFd, &value);
            break;
        case 2:
            result = xfrGetVOut(l.driverFd, &value);
            break;
        case 3:
            result = xfrGetVSet(l.driverFd, &value);
            break;
        case 4:
            result = xfrGetOut(l.driverFd, &state);
            break;
        case 5:
            result = xfrGetErr(l.driverFd, &state);
            break;
        default:
            result = xfrGetStatus(l.driverFd, &state, &sts, &fault);
            break;
    }
    if (result != 1) {
        if (result < -1 || result > 1) abort();
        if (query < 4 && value != -12345.0) abort();
        if (query == 4 || query == 5) {
            if (state != -12345) abort();
        }
        if (query == 6 && fault != -12345) abort();
    }

    discardRecv(l.driverFd, 1 << 20);
    char queries[4096];
    while (recv(l.supplyFd, queries, sizeof queries, MSG_DONTWAIT) > 0) {
    }
    return 0;
}

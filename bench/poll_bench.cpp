// Runs the charger's polling loop N times without its sleeps, against the
// instruments at the charger's endpoints (benchsim in a benchmark's own
// namespaces): pollPack, then the loop's own lines, as main does. The
// figures come from running it under valgrind for two values of N.
//
// usage: poll_bench N [--no-syslog]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "charger/charger.h"
#include "charger/endpoints.h"
#include "serial/serial.h"

// The port layer's 10 ms pause after each send costs no instructions, only
// time: without it 10,000 polls take seconds rather than minutes.
extern "C" int usleep(useconds_t) { return 0; }

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs("usage: poll_bench N [--no-syslog]\n", stderr);
        return 2;
    }
    const long polls = strtol(argv[1], nullptr, 10);
    // With --no-syslog the two system-log lines of each poll are not made,
    // which shows what they cost; otherwise they go to /dev/log as usual.
    if (argc > 2 && strcmp(argv[2], "--no-syslog") == 0) SYSTEM_LOG_PATH = nullptr;

    FILE* chargeLog = fopen("/dev/null", "a");
    if (chargeLog == nullptr || freopen("/dev/null", "w", stdout) == nullptr) return 1;
    ChargeControl control{};
    control.chargeCurrent = STAGE_CURRENT[0];
    PackConnection pack{};
    if (openInstrument(SUPPLY_ENDPOINT, &control.supplyPort) <= 0 ||
        openInstrument(PACK_ENDPOINT, &pack.port) <= 0) {
        fputs("poll_bench: the instruments are not there\n", stderr);
        return 1;
    }
    sendStr(pack.port, PACK_START);

    std::array<char, REPLY_BUFFER_SIZE> reply{};
    BatteryStatus status{};
    long accepted = 0;
    for (long i = 0; i < polls; ++i) {
        if (pollPack(&pack, reply, &status, &control, chargeLog) == STATUS_REPLY_LENGTH) ++accepted;
        puts("going to sleep");
        fflush(stdout);
        puts("waking up");
    }
    fprintf(stderr, "accepted %ld of %ld polls\n", accepted, polls);
    return accepted == polls ? 0 : 1;
}

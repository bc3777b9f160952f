// The charger: sets the supply up, starts the pack and polls it until killed.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "charger/charger.h"
#include "charger/endpoints.h"
#include "serial/serial.h"
#include "xfr/xfr.h"

namespace {
constexpr unsigned POLL_PAUSE_SECONDS = 5;
}

int main() {
    char logName[32];
    snprintf(logName, sizeof logName, "%lldolm.log", static_cast<long long>(time(nullptr)));
    FILE* chargeLog = fopen(logName, "a");
    if (chargeLog == nullptr) {
        int err = errno;
        fprintf(stderr, "unable to create charge log '%s': %s\n", logName, strerror(err));
        exit(-1);
    }

    ChargeControl control{};
    startSupply(&control);

    int packPort = 0;
    if (openInstrument(PACK_ENDPOINT, &packPort) <= 0) {
        perror("unable to open connection to battery:");
        // Nothing would watch the pack: do not leave the supply driving it.
        xfrDisableOutput(control.supplyPort);
        exit(-1);
    }
    sendStr(packPort, PACK_START);

    std::array<char, REPLY_BUFFER_SIZE> reply{};
    BatteryStatus status{};
    for (;;) {
        pollPack(packPort, reply, &status, &control, chargeLog);
        puts("going to sleep");
        // Standard output is usually a file: every finished poll is in it
        // even when the process is killed during the sleep.
        fflush(stdout);
        sleep(POLL_PAUSE_SECONDS);
        puts("waking up");
    }
}

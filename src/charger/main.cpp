// The charger: sets the supply up, starts the pack and polls it until stopped.
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

int main(int argc, char**) {
    // Every setting is built in: an argument is a mistake (say, "--help"),
    // and must not start a charge at 45 A.
    if (argc > 1) {
        fprintf(stderr,
                "charger takes no arguments; nothing was done. It is built for the battery pack at %s "
                "and the supply at %s.\n",
                PACK_ENDPOINT, SUPPLY_ENDPOINT);
        return 2;
    }
    // A console reader that goes away (charger | head) must not end the
    // charge: writes to it fail with EPIPE instead, and the supply, the
    // charge log and the system log carry on.
    signal(SIGPIPE, SIG_IGN);
    installStopHandlers();

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
    stopIfSignalled(&control);

    PackConnection pack{};
    if (openInstrument(PACK_ENDPOINT, &pack.port) <= 0) {
        // A signal cuts the connect short: that is no failure of the pack.
        stopIfSignalled(&control);
        perror("unable to open connection to battery:");
        // Nothing would watch the pack: do not leave the supply driving it.
        xfrDisableOutput(control.supplyPort);
        exit(-1);
    }
    sendStr(pack.port, PACK_START);

    std::array<char, REPLY_BUFFER_SIZE> reply{};
    BatteryStatus status{};
    bool consoleGone = false;
    for (;;) {
        pollPack(&pack, reply, &status, &control, chargeLog);
        stopIfSignalled(&control);
        puts("going to sleep");
        // Standard output is usually a file: every finished poll is in it
        // even when the process is killed during the sleep.
        if (fflush(stdout) != 0) {
            int err = errno;
            // An interrupted write is no reason to stop trying.
            clearerr(stdout);
            if (err == EPIPE && !consoleGone) {
                consoleGone = true;
                fprintf(stderr, "standard output is gone (%s); the charge goes on\n", strerror(err));
            }
        }
        // A stop signal ends the sleep early.
        pauseUnlessStopped(POLL_PAUSE_SECONDS);
        stopIfSignalled(&control);
        puts("waking up");
    }
}

// The charge itself: supply start-up, the staged charge current, one poll.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "charger/charger.h"
#include "charger/endpoints.h"
#include "serial/serial.h"
#include "util/settings.h"
#include "util/util.h"
#include "xfr/xfr.h"

namespace {

// Line settings of both instruments; a TCP endpoint ignores them.
constexpr int LINE_SPEED = 9600;
constexpr int DATA_BITS = 8;
constexpr int STOP_BITS = 1;
constexpr const char* PARITY = "none";

constexpr unsigned SUPPLY_SETTLE_SECONDS = 5;

// Bytes of stale input thrown away before a status request, at most: a pack
// that floods the line cannot hold up the poll.
constexpr int MAX_STALE_BYTES = 16384;

void recordStopSignal(int sig) { STOP_SIGNAL = sig; }

const char* signalName(int sig) {
    switch (sig) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal";
    }
}

void dropSupply(ChargeControl* control) {
    closePort(control->supplyPort);
    control->supplyPort = 0;
    fputs("connection to the supply ended; opening it again\n", stderr);
}

// Opens the supply's endpoint again and sends it the stage's current, and
// only that.
int reopenSupply(ChargeControl* control) {
    int port = 0;
    if (openInstrument(SUPPLY_ENDPOINT, &port) <= 0) {
        if (!control->supplyUnreachable) {
            control->supplyUnreachable = true;
            fprintf(stderr,
                    "cannot open the supply again; trying at every current command, its output keeps its "
                    "last setting\n");
        }
        return -1;
    }
    control->supplyPort = port;
    control->supplyUnreachable = false;
    int sent = xfrSetCurrent(port, control->chargeCurrent);
    if (sent == 0) {
        fprintf(stderr, "connection to the supply open again; charge current %f A sent\n",
                control->chargeCurrent);
        return 0;
    }
    if (portEnded(port) == 1) dropSupply(control);
    return -1;
}

void dropPack(PackConnection* pack) {
    closePort(pack->port);
    pack->port = 0;
    fputs("connection to the battery pack ended; opening it again before the next status request\n", stderr);
}

void reopenPack(PackConnection* pack, const ChargeControl* control) {
    int port = 0;
    if (openInstrument(PACK_ENDPOINT, &port) <= 0) {
        if (!pack->unreachable) {
            pack->unreachable = true;
            fprintf(stderr,
                    "cannot open the battery pack again; trying at every poll, the supply stays at %f A\n",
                    control->chargeCurrent);
        }
        return;
    }
    pack->port = port;
    pack->unreachable = false;
    fputs("connection to the battery pack open again\n", stderr);
}

}  // namespace

int openInstrument(const char* endpoint, int* fd) {
    return openPort(endpoint, fd, LINE_SPEED, DATA_BITS, STOP_BITS, PARITY);
}

void startSupply(ChargeControl* control) {
    control->stage = 0;
    // Until the supply is open, a stop signal just ends the program.
    if (STOP_SIGNAL != 0) endBySignal(STOP_SIGNAL);
    if (openInstrument(SUPPLY_ENDPOINT, &control->supplyPort) <= 0) {
        if (STOP_SIGNAL != 0) endBySignal(STOP_SIGNAL);
        perror("unable to open connection to xantrex:");
        exit(-1);
    }
    stopIfSignalled(control);
    // Clear faults and switch off before the setpoints change; the output
    // comes on only once both are set.
    xfrInit(control->supplyPort);
    xfrDisableOutput(control->supplyPort);
    xfrSetVolts(control->supplyPort, CHARGE_VOLTS);
    control->chargeCurrent = STAGE_CURRENT[0];
    xfrSetCurrent(control->supplyPort, control->chargeCurrent);
    xfrEnableOutput(control->supplyPort);
    pauseUnlessStopped(SUPPLY_SETTLE_SECONDS);
}

void pauseUnlessStopped(unsigned seconds) {
    const long long end = monotonicMs() + static_cast<long long>(seconds) * 1000LL;
    for (long long left; STOP_SIGNAL == 0 && (left = end - monotonicMs()) > 0;) {
        msleep(static_cast<int>(left < STOP_CHECK_MS ? left : STOP_CHECK_MS));
    }
}

void stepChargeStage(ChargeControl* control, const BatteryStatus* status, int packPort) {
    const bool advance = balanceAdvances(control->stage, status->balanceRegister);
    if (advance && control->stage < FINAL_STAGE) {
        control->stage += 1;
        control->chargeCurrent = STAGE_CURRENT[static_cast<std::size_t>(control->stage)];
        printf("\n****reducing charge current to %f\n", control->chargeCurrent);
    } else if (advance) {
        puts("turning battery off at end of charge");
        sendStr(packPort, PACK_OFF);
    }
    printf("\n****setting charge current to %f\n\n", control->chargeCurrent);
    if (sendChargeCurrent(control) != 0)
        puts("****the supply did not get this charge current: its send failed");
}

int sendChargeCurrent(ChargeControl* control) {
    if (control->supplyPort > 0) {
        int sent = xfrSetCurrent(control->supplyPort, control->chargeCurrent);
        if (sent == 0) return 0;
        if (portEnded(control->supplyPort) != 1) return -1;
        dropSupply(control);
    }
    return reopenSupply(control);
}

int pollPack(PackConnection* pack, std::array<char, REPLY_BUFFER_SIZE>& reply, BatteryStatus* status,
             ChargeControl* control, FILE* chargeLog) {
    if (pack->port > 0) {
        // A reply that arrived in pieces leaves its tail behind; read with
        // the next reply it could add up to 77 bytes of nonsense.
        int stale = discardRecv(pack->port, MAX_STALE_BYTES);
        if (stale > 0) fprintf(stderr, "discarded %d stale bytes from the pack\n", stale);
        if (portEnded(pack->port) == 1) dropPack(pack);
    }
    // Never the start command again: it would switch a pack back on that
    // the end of charge switched off.
    if (pack->port <= 0) reopenPack(pack, control);

    puts("sending status request");
    if (pack->port > 0) sendStr(pack->port, PACK_STATUS_REQUEST);
    puts("waiting for reply");
    int count = pack->port > 0 ? recvStr(pack->port, reply.data(), REPLY_BUFFER_SIZE) : 0;
    printf("status is %d\n", count);
    if (count == STATUS_REPLY_LENGTH) {
        printf("response is %s\n", reply.data());
        reportStatusReply(reply.data(), status, chargeLog);
        stepChargeStage(control, status, pack->port);
    }
    if (pack->port > 0 && portEnded(pack->port) == 1) dropPack(pack);
    return count;
}

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = recordStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait or a blocked write returns on the signal.
    action.sa_flags = 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
}

void stopIfSignalled(ChargeControl* control) {
    const int sig = STOP_SIGNAL;
    if (sig == 0) return;
    // The off command below waits for its send as any other; a second
    // signal cuts that short.
    STOP_SIGNAL = 0;
    int port = control->supplyPort;
    int sent = -1;
    if (port > 0 && portEnded(port) != 1) sent = xfrDisableOutput(port);
    if (sent != 0 && (port <= 0 || portEnded(port) == 1)) {
        if (port > 0) closePort(port);
        port = 0;
        if (openInstrument(SUPPLY_ENDPOINT, &port) > 0) sent = xfrDisableOutput(port);
    }
    control->supplyPort = port;
    if (sent == 0) {
        fprintf(stderr, "%s: supply output switched off (OUT 0 sent); ending\n", signalName(sig));
    } else {
        fprintf(stderr, "%s: the supply's off command could not be sent; ending\n", signalName(sig));
    }
    endBySignal(sig);
}

void endBySignal(int sig) {
    signal(sig, SIG_DFL);
    raise(sig);
    // The default action of the three stop signals ends the process; this
    // is only reached if the signal is blocked.
    _exit(128 + sig);
}

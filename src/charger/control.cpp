// The charge itself: supply start-up, the staged charge current, one poll.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "charger/charger.h"
#include "charger/endpoints.h"
#include "serial/serial.h"
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

}  // namespace

int openInstrument(const char* endpoint, int* fd) {
    return openPort(endpoint, fd, LINE_SPEED, DATA_BITS, STOP_BITS, PARITY);
}

void startSupply(ChargeControl* control) {
    control->stage = 0;
    if (openInstrument(SUPPLY_ENDPOINT, &control->supplyPort) <= 0) {
        perror("unable to open connection to xantrex:");
        exit(-1);
    }
    // Clear faults and switch off before the setpoints change; the output
    // comes on only once both are set.
    xfrInit(control->supplyPort);
    xfrDisableOutput(control->supplyPort);
    xfrSetVolts(control->supplyPort, CHARGE_VOLTS);
    control->chargeCurrent = STAGE_CURRENT[0];
    xfrSetCurrent(control->supplyPort, control->chargeCurrent);
    xfrEnableOutput(control->supplyPort);
    sleep(SUPPLY_SETTLE_SECONDS);
}

void stepChargeStage(ChargeControl* control, const BatteryStatus* status, int packPort) {
    const int balance = status->balanceRegister;
    // Any balancing cell steps the first two stages down; the last step
    // waits for every cell.
    const bool advance = control->stage < 2 ? balance != 0 : balance == ALL_CELLS_BALANCED;
    if (advance && control->stage < FINAL_STAGE) {
        control->stage += 1;
        control->chargeCurrent = STAGE_CURRENT[static_cast<std::size_t>(control->stage)];
        printf("\n****reducing charge current to %f\n", control->chargeCurrent);
    } else if (advance) {
        puts("turning battery off at end of charge");
        sendStr(packPort, PACK_OFF);
    }
    printf("\n****setting charge current to %f\n\n", control->chargeCurrent);
    xfrSetCurrent(control->supplyPort, control->chargeCurrent);
}

int pollPack(int packPort, std::array<char, REPLY_BUFFER_SIZE>& reply, BatteryStatus* status,
             ChargeControl* control, FILE* chargeLog) {
    // A reply that arrived in pieces leaves its tail behind; read with the
    // next reply it could add up to 77 bytes of nonsense.
    int stale = discardRecv(packPort, MAX_STALE_BYTES);
    if (stale > 0) fprintf(stderr, "discarded %d stale bytes from the pack\n", stale);

    puts("sending status request");
    sendStr(packPort, PACK_STATUS_REQUEST);
    puts("waiting for reply");
    int count = recvStr(packPort, reply.data(), REPLY_BUFFER_SIZE);
    printf("status is %d\n", count);
    if (count == STATUS_REPLY_LENGTH) {
        printf("response is %s\n", reply.data());
        reportStatusReply(reply.data(), status, chargeLog);
        stepChargeStage(control, status, packPort);
    }
    return count;
}

// Charge control: decoding and reporting of the pack's status reply, the
// staged charge current, and one poll of the pack.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>

#include "util/settings.h"

// Length of the pack's status reply; any other count is not a reply.
constexpr int STATUS_REPLY_LENGTH = 77;
// The receive buffer of one poll, and the most one receive reads into it.
constexpr int REPLY_BUFFER_SIZE = 80;

// The pack's commands: start, status request, off.
constexpr const char* PACK_START = "@AC\n";
constexpr const char* PACK_STATUS_REQUEST = "@RQ\n";
constexpr const char* PACK_OFF = "@AF\n";

// The decoded status reply. Each field holds the unsigned value of its hex
// field (0 to 65535, or 0 to 255) and keeps its last value when a reply
// fails to set it.
struct BatteryStatus {
    int gasGauge;                    // hundredths of a percent
    std::array<int, 8> cellVoltage;  // millivolts, cell 1 first
    int current;                     // hundredths of an ampere, low 16 bits signed
    std::array<int, 9> temps;        // layers 8 down to 1, then the heatsink
    int relativeHumidity;
    int balanceRegister;  // one bit per balanced cell
    int tempAlertRegister;
    int voltAlertRegister;
    int statusRegister;
};

// Decodes the first 74 characters of a zero-terminated reply into status,
// field by field: a field that does not scan keeps its value.
void decodeStatusReply(const char* reply, BatteryStatus* status);

// The pack current in amperes: the low 16 bits of the field, signed.
double packCurrent(const BatteryStatus& status);

// The console report of one reply, stamped with time now.
void printStatusReport(FILE* out, const BatteryStatus& status, long long now);

// Room for one charge-log record (eight comma-separated fields and its line
// end), with a spare byte.
constexpr std::size_t CHARGE_LOG_RECORD_SIZE = 96;

// Formats one charge-log record into text; returns its length, as snprintf.
int formatChargeLogRecord(char* text, std::size_t size, const BatteryStatus& status, long long now);

// Appends one record to the charge log with a single write to its file
// descriptor: the record is in the file whole or not at all (a piece that a
// full disk let in is cut off again). Returns 0, or -1 with errno set.
int writeChargeLogRecord(FILE* log, const BatteryStatus& status, long long now);

// The two system-log lines of one reply.
struct SyslogLines {
    std::array<char, 96> currentAndGauge;
    std::array<char, 96> humidity;
};
SyslogLines formatSyslogLines(const BatteryStatus& status);

// Where the system-log lines go: the log daemon's datagram socket. Null
// sends nothing (a benchmark measures the rest without it).
extern const char* SYSTEM_LOG_PATH;

// Hands one line to the system log at priority LOG_ERR, formatted as the C
// library's syslog() does ("<11>Mmm dd hh:mm:ss NAME: TEXT"), without ever
// waiting: a line the log cannot take at once is dropped and counted. The
// first drop, and the return of delivery with the count, are said on
// standard error. Returns 0 when the line went, -1 when it was dropped.
int sendSystemLogLine(const char* text);

// Decodes an accepted reply and reports it: console, charge log, system log.
// A record the charge log did not take is reported on standard error when
// the losses begin and, with their count, when writing works again.
void reportStatusReply(const char* reply, BatteryStatus* status, FILE* chargeLog);

// Setpoints of the charge, and the current of each stage.
constexpr double CHARGE_VOLTS = 35.9;
constexpr std::array<double, 4> STAGE_CURRENT{45.0, 22.5, 12.5, 7.5};
constexpr int FINAL_STAGE = 3;
constexpr int ALL_CELLS_BALANCED = 0xFF;

// Whether an accepted reply whose balance register is balance moves the
// charge on from stage: any balancing cell steps the first two stages down;
// the last step waits for every cell. In the final stage it is the end of
// charge, and the pack is commanded off.
constexpr bool balanceAdvances(int stage, int balance) {
    return stage < 2 ? balance != 0 : balance == ALL_CELLS_BALANCED;
}

struct ChargeControl {
    int supplyPort;          // the supply's port descriptor; 0 while its connection is lost
    int stage;               // 0 to 3, never decreasing
    double chargeCurrent;    // amperes, the setpoint of the stage
    bool supplyUnreachable;  // the last attempt to open the supply again failed
};

// The pack's connection.
struct PackConnection {
    int port;          // the pack's port descriptor; 0 while its connection is lost
    bool unreachable;  // the last attempt to open the pack again failed
};

// Opens an instrument's endpoint with the line settings both instruments
// use (9600 bit/s, 8 data bits, 1 stop bit, no parity). Returns openPort's
// result.
int openInstrument(const char* endpoint, int* fd);

// Opens the supply endpoint (ending the process with status -1 when it
// cannot), sets the supply to the charge voltage and the stage-0 current,
// switches its output on and waits 5 seconds.
void startSupply(ChargeControl* control);

// Sends the stage's current to the supply. When the connection has ended
// (before or by this send), the supply's endpoint is opened again and the
// setpoint sent on the new connection at once; nothing else ever goes on a
// reopened connection (no clear, no output on, no voltage: a supply that
// was switched off stays off). A reopen that fails is tried again at the
// next call. Returns 0 when the setpoint went out, -1 otherwise.
int sendChargeCurrent(ChargeControl* control);

// Moves at most one stage on from the balance register of an accepted reply,
// commands the pack off once the final stage sees every cell balanced, and
// sends the stage's current to the supply (saying so on standard output
// when that send failed).
void stepChargeStage(ChargeControl* control, const BatteryStatus* status, int packPort);

// One poll of the pack: discard stale input, request the status, wait for
// the reply and, for a reply of exactly STATUS_REPLY_LENGTH bytes, report it
// and step the charge. A pack whose connection ended is opened again before
// the request (once a poll while that fails; the start command is never
// sent again); a poll without a connection prints its lines with a count
// of 0. Returns the receive count.
int pollPack(PackConnection* pack, std::array<char, REPLY_BUFFER_SIZE>& reply, BatteryStatus* status,
             ChargeControl* control, FILE* chargeLog);

// SIGINT, SIGTERM and SIGHUP: handlers that only record the signal in
// STOP_SIGNAL. They do not restart interrupted calls, so waits end on them.
void installStopHandlers();

// Acts on a recorded stop signal, if there is one: sends the supply's off
// command (opening its connection once more if it had ended) and nothing
// after it, says so on standard error and ends the process by the same
// signal with its default action. Returns at once when none is recorded.
// Only for use once the supply has been opened.
void stopIfSignalled(ChargeControl* control);

// Sleeps for seconds, returning early once a stop signal is recorded. The
// pause is slept in steps of at most STOP_CHECK_MS: a signal ends a step at
// once, and one that came just before a step began is seen at its end, so a
// stop never waits out a whole pause.
constexpr int STOP_CHECK_MS = 250;
void pauseUnlessStopped(unsigned seconds);

// Ends the process by sig with its default action.
[[noreturn]] void endBySignal(int sig);

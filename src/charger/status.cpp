// Decoding of the pack's status reply and its three reports.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "charger/charger.h"

namespace {

struct Field {
    int* value;
    int width;  // characters of the reply the field occupies
};

struct StatusBit {
    unsigned mask;
    const char* format;
    const char* set;
    const char* clear;
};

constexpr std::array<StatusBit, 13> STATUS_BITS{{
    {0x0008, "Fan state: %s\n", "On", "Off"},
    {0x0010, "Main Fuse: %s\n", "Fault", "Good"},
    {0x0020, "Safe Operating Area: %s\n", "Fault", "Good"},
    {0x0040, "Overcurrent: %s\n", "Fault", "Good"},
    {0x0080, "Undervoltage: %s\n", "Fault", "Good"},
    {0x0100, "Overvoltage: %s\n", "Fault", "Good"},
    {0x0200, "Discharge Mode: %s\n", "On", "Off"},
    {0x0400, "Charge Mode: %s\n", "On", "Off"},
    {0x0800, "Discharge Transient: %s\n", "Fault", "Good"},
    {0x1000, "Battery Cold Limit: %s\n", "Fault", "Good"},
    {0x2000, "Heatsink Hot Limit: %s\n", "Fault", "Good"},
    {0x4000, "Battery Hot Limit: %s\n", "Fault", "Good"},
    {0x8000, "Battery Enable: %s\n", "On", "Off"},
}};

double gasGaugePercent(const BatteryStatus& status) { return status.gasGauge / 100.0; }

unsigned hex(int value) { return static_cast<unsigned>(value); }

}  // namespace

void decodeStatusReply(const char* reply, BatteryStatus* status) {
    BatteryStatus& s = *status;
    const std::array<Field, 24> fields{{
        {&s.gasGauge, 4},          {&s.cellVoltage[0], 4},    {&s.cellVoltage[1], 4},
        {&s.cellVoltage[2], 4},    {&s.cellVoltage[3], 4},    {&s.cellVoltage[4], 4},
        {&s.cellVoltage[5], 4},    {&s.cellVoltage[6], 4},    {&s.cellVoltage[7], 4},
        {&s.current, 4},           {&s.temps[0], 2},          {&s.temps[1], 2},
        {&s.temps[2], 2},          {&s.temps[3], 2},          {&s.temps[4], 2},
        {&s.temps[5], 2},          {&s.temps[6], 2},          {&s.temps[7], 2},
        {&s.temps[8], 2},          {&s.relativeHumidity, 2},  {&s.balanceRegister, 2},
        {&s.tempAlertRegister, 4}, {&s.voltAlertRegister, 4}, {&s.statusRegister, 4},
    }};

    const char* cursor = reply;
    for (const Field& field : fields) {
        unsigned value = 0;
        int scanned = sscanf(cursor, field.width == 4 ? "%4x" : "%2x", &value);
        if (scanned == 1) {
            *field.value = static_cast<int>(value);
            cursor += field.width;
        } else if (scanned == EOF) {
            // The text ended before the field: move on all the same.
            cursor += field.width;
        }
        // Otherwise a character that cannot start a number stops the cursor
        // here, and every later field fails on it the same way.
    }
}

double packCurrent(const BatteryStatus& status) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(status.current)) / 100.0;
}

void printStatusReport(FILE* out, const BatteryStatus& s, long long now) {
    const auto& v = s.cellVoltage;
    const auto& t = s.temps;
    long long stack = 0;
    for (int millivolts : v) stack += millivolts;

    fprintf(out, "time: %lld\n", now);
    fprintf(out, "gasGauge : %f\n", gasGaugePercent(s));
    fprintf(out, "V1:%1.3f V2:%1.3f V3:%1.3f V4:%1.3f\n", v[0] / 1000.0, v[1] / 1000.0, v[2] / 1000.0,
            v[3] / 1000.0);
    fprintf(out, "V5:%1.3f V6:%1.3f V7:%1.3f V8:%1.3f\n", v[4] / 1000.0, v[5] / 1000.0, v[6] / 1000.0,
            v[7] / 1000.0);
    fprintf(out, "Current: %.2f\n", packCurrent(s));
    fprintf(out, "Stack Voltage: %3f\n", static_cast<double>(stack) / 1000.0);
    fprintf(out, "Temps(layer 8 to layer 1): %2d %2d %2d %2d %2d %2d %2d %2d\n", t[0], t[1], t[2], t[3], t[4],
            t[5], t[6], t[7]);
    fprintf(out, "Heatsink temp: %2d\n", t[8]);
    fprintf(out, "relative Humidity: %d\n", s.relativeHumidity);
    fprintf(out, "balance register: %2x\n", hex(s.balanceRegister));
    if (s.tempAlertRegister != 0) fputs("WARNING: ", out);
    fprintf(out, "temp alert register: %2x\n", hex(s.tempAlertRegister));
    if (s.voltAlertRegister != 0) fputs("WARNING: ", out);
    fprintf(out, "volt alert register: %2x\n", hex(s.voltAlertRegister));
    fprintf(out, "Battery Status Register: %4x\n", hex(s.statusRegister));
    for (const StatusBit& bit : STATUS_BITS) {
        fprintf(out, bit.format, (hex(s.statusRegister) & bit.mask) != 0 ? bit.set : bit.clear);
    }
    fputc('\n', out);
}

int formatChargeLogRecord(char* text, std::size_t size, const BatteryStatus& s, long long now) {
    return snprintf(text, size, "%lld,%4.2f,%.2f,%d,%2x,%2x,%2x,%2x\n", now, gasGaugePercent(s),
                    packCurrent(s), s.relativeHumidity, hex(s.balanceRegister), hex(s.tempAlertRegister),
                    hex(s.voltAlertRegister), hex(s.statusRegister));
}

int writeChargeLogRecord(FILE* log, const BatteryStatus& s, long long now) {
    // Set when a cut record could not be taken back: the next record starts
    // on a line of its own.
    static bool cutRecordLeft = false;
    char record[CHARGE_LOG_RECORD_SIZE];
    const std::size_t start = cutRecordLeft ? 1 : 0;
    record[0] = '\n';
    int length = formatChargeLogRecord(record + start, sizeof record - start, s, now);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof record - start) {
        errno = EOVERFLOW;
        return -1;
    }
    const std::size_t total = start + static_cast<std::size_t>(length);
    // One write past the stream's buffer (which never holds anything): a
    // full disk must not leave half a record for a later flush to finish.
    const int fd = fileno(log);
    ssize_t written;
    do {
        written = fd < 0 ? (errno = EBADF, -1) : write(fd, record, total);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(total)) {
        cutRecordLeft = false;
        return 0;
    }
    int err = written < 0 ? errno : ENOSPC;
    if (written > 0) {
        // The log is opened for appending, so the record began where the
        // file now ends less what went in.
        const off_t end = lseek(fd, 0, SEEK_CUR);
        if (end < 0 || ftruncate(fd, end - written) != 0) cutRecordLeft = true;
    }
    errno = err;
    return -1;
}

SyslogLines formatSyslogLines(const BatteryStatus& s) {
    SyslogLines lines;
    snprintf(lines.currentAndGauge.data(), lines.currentAndGauge.size(),
             "OLM Battery Current & Gas Gauge: %.2f %4.2f", packCurrent(s), gasGaugePercent(s));
    snprintf(lines.humidity.data(), lines.humidity.size(), "OLM Battery RH: %2d", s.relativeHumidity);
    return lines;
}

void reportStatusReply(const char* reply, BatteryStatus* status, FILE* chargeLog) {
    decodeStatusReply(reply, status);
    const long long now = static_cast<long long>(time(nullptr));
    printStatusReport(stdout, *status, now);

    // Records lost since the last one written; the loss is told when it
    // begins and, with the count, when writing works again.
    static long lostRecords = 0;
    if (writeChargeLogRecord(chargeLog, *status, now) != 0) {
        if (lostRecords++ == 0) {
            fprintf(stderr,
                    "charge log: the record of %lld was not written (%s); records are lost until "
                    "writing works again\n",
                    now, strerror(errno));
        }
    } else if (lostRecords > 0) {
        fprintf(stderr, "charge log: writing works again; %ld records were lost\n", lostRecords);
        lostRecords = 0;
    }

    const SyslogLines lines = formatSyslogLines(*status);
    sendSystemLogLine(lines.currentAndGauge.data());
    sendSystemLogLine(lines.humidity.data());
}

#include "xfr/xfr.h"

#include <array>
#include <cstdio>

#include "util/settings.h"
#include "serial/serial.h"
#include "util/util.h"

namespace {

constexpr const char* MODULE = "xfr";
constexpr int MAX_ATTEMPTS = 10;
constexpr int ANSWER_SIZE = 20;

// Every accepted setpoint formats to at most 15 characters.
using CommandBuffer = std::array<char, 20>;

int rejectVoltage(int line, const char* name, const char* relation, double volts) {
    printLocation(MODULE, line);
    fprintf(stderr, "err: %s(%f) %s %f\n", name, volts, relation, XFR_VOLTAGE_LIMIT);
    return -1;
}

int rejectCurrent(int line) {
    printLocation(MODULE, line);
    fprintf(stderr, "Assertion failed on line %d in file %s\n", line, MODULE);
    return -2;
}

bool currentAccepted(double amperes) { return amperes >= 0.0 && amperes <= XFR_CURRENT_LIMIT; }

int sendSetpoint(int fd, const char* format, double value) {
    CommandBuffer command;
    snprintf(command.data(), command.size(), format, value);
    return sendStr(fd, command.data());
}

struct Query {
    const char* text;    // what is sent
    const char* format;  // how the answer is parsed
    const char* name;    // the function named in messages and traces
    int sendLine;
    int recvLine;
};

using Answer = std::array<char, ANSWER_SIZE + 1>;

// Sends the query until something arrives (at most MAX_ATTEMPTS times) and
// leaves what arrived, zero-terminated, in answer. Returns 0, or the
// negative result of a failed send, which ends the exchange at once.
int exchange(int fd, const Query& query, Answer& answer) {
    int status = -1;
    answer.fill('\0');
    for (int attempt = 0; attempt < MAX_ATTEMPTS && status <= 0; ++attempt) {
        flushRecv(fd);
        status = sendStr(fd, query.text);
        if (status < 0) {
            printLocation(MODULE, query.sendLine);
            fprintf(stderr, "err: %s: sendStr returned %d\n", query.name, status);
            return status;
        }
        // One byte more than is read stays zero, so a 20-byte answer is
        // still a terminated text.
        status = recvStr(fd, answer.data(), ANSWER_SIZE);
        if (status < 0) {
            printLocation(MODULE, query.recvLine);
            fprintf(stderr, "err: %s: recvStr returned %d\n", query.name, status);
        }
    }
    return 0;
}

// Each query reports a failed send apart from its parse result, since a
// failed write (-1) and an empty answer (EOF) share a value.
int queryDouble(int fd, const Query& query, double* value, bool* sendFailed) {
    Answer answer;
    int sent = exchange(fd, query, answer);
    *sendFailed = sent < 0;
    if (sent < 0) return sent;
    int status = sscanf(answer.data(), query.format, value);
    if (DEBUG_LEVEL > 0) fprintf(stderr, "%s = %f, sscanf returned %d\n", query.name, *value, status);
    return status;
}

int queryInt(int fd, const Query& query, int* value, bool* sendFailed) {
    Answer answer;
    int sent = exchange(fd, query, answer);
    *sendFailed = sent < 0;
    if (sent < 0) return sent;
    int status = sscanf(answer.data(), query.format, value);
    if (DEBUG_LEVEL > 0) fprintf(stderr, "%s = %d, sscanf returned %d\n", query.name, *value, status);
    return status;
}

constexpr Query IOUT{"IOUT?\r", "IOUT %lf", "xfrGetIOut", 131, 137};
constexpr Query ISET{"ISET?\r", "ISET %lf", "xfrGetISet", 160, 166};
constexpr Query OUT{"OUT?\r", "OUT %d", "xfrGetOut", 190, 196};
constexpr Query VOUT{"VOUT?\r", "VOUT %lf", "xfrGetVout", 219, 225};
constexpr Query VSET{"VSET?\r", "VSET %lf", "xfrGetVset", 248, 254};
constexpr Query ERR{"ERR?\r", "ERR %d", "xfrGetErr", 277, 283};
constexpr Query ASTS{"ASTS?\r", "ASTS %d", "xfrGetStatus", 307, 313};
constexpr Query STS{"STS?\r", "STS %d", "xfrGetStatus", 328, 334};
constexpr Query FAULT{"FAULT?\r", "FAULT %d", "xfrGetStatus", 349, 355};

}  // namespace

int xfrInit(int fd) { return sendStr(fd, "CLR\r"); }
int xfrEnableOutput(int fd) { return sendStr(fd, "OUT 1\r"); }
int xfrDisableOutput(int fd) { return sendStr(fd, "OUT 0\r"); }
int xfrReset(int fd) { return sendStr(fd, "RST\r"); }
int xfrTrigger(int fd) { return sendStr(fd, "TRG\r"); }

// The voltage tests reject; a NaN fails both comparisons and is sent.
int xfrOverVoltSet(int fd, double volts) {
    if (volts < 0.0 || volts > XFR_VOLTAGE_LIMIT) return rejectVoltage(45, "xfrOverVoltSet", ">", volts);
    return sendSetpoint(fd, "OVSET %0.4fV\r", volts);
}

int xfrVMax(int fd, double volts) {
    if (volts < 0.0 || volts > XFR_VOLTAGE_LIMIT) return rejectVoltage(73, "xfrVMax", ">", volts);
    return sendSetpoint(fd, "VMAX %0.4fV\r", volts);
}

int xfrSetVolts(int fd, double volts) {
    if (volts < 0.0 || volts >= XFR_VOLTAGE_LIMIT) return rejectVoltage(88, "xfrSetVolts", ">=", volts);
    return sendSetpoint(fd, "VSET %0.4fV\r", volts);
}

// The current tests accept; a NaN fails them and is rejected.
int xfrIMax(int fd, double amperes) {
    if (!currentAccepted(amperes)) return rejectCurrent(101);
    return sendSetpoint(fd, "IMAX %0.4fA\r", amperes);
}

int xfrSetCurrent(int fd, double amperes) {
    if (!currentAccepted(amperes)) return rejectCurrent(112);
    return sendSetpoint(fd, "ISET %0.4fA\r", amperes);
}

int xfrGetIOut(int fd, double* amperes) {
    bool sendFailed;
    return queryDouble(fd, IOUT, amperes, &sendFailed);
}

int xfrGetISet(int fd, double* amperes) {
    bool sendFailed;
    return queryDouble(fd, ISET, amperes, &sendFailed);
}

int xfrGetOut(int fd, int* state) {
    bool sendFailed;
    return queryInt(fd, OUT, state, &sendFailed);
}

int xfrGetVOut(int fd, double* volts) {
    bool sendFailed;
    return queryDouble(fd, VOUT, volts, &sendFailed);
}

int xfrGetVSet(int fd, double* volts) {
    bool sendFailed;
    return queryDouble(fd, VSET, volts, &sendFailed);
}

int xfrGetErr(int fd, int* code) {
    bool sendFailed;
    return queryInt(fd, ERR, code, &sendFailed);
}

int xfrGetStatus(int fd, int* asts, int* sts, int* fault) {
    int results[3];
    return xfrGetStatusEach(fd, asts, sts, fault, results);
}

int xfrGetStatusEach(int fd, int* asts, int* sts, int* fault, int results[3]) {
    bool sendFailed;
    results[0] = results[1] = results[2] = -1;
    results[0] = queryInt(fd, ASTS, asts, &sendFailed);
    if (sendFailed) return results[0];
    results[1] = queryInt(fd, STS, sts, &sendFailed);
    if (sendFailed) return results[1];
    results[2] = queryInt(fd, FAULT, fault, &sendFailed);
    return results[2];
}

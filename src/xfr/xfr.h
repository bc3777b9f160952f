// Driver of a Xantrex programmable DC power supply: one function per command
// or query, each taking the supply's port descriptor first. Commands are
// carriage-return-terminated text; nothing is kept between calls.
#pragma once

// Limits of the setpoints the driver lets through.
constexpr double XFR_VOLTAGE_LIMIT = 45.0;
constexpr double XFR_CURRENT_LIMIT = 60.0;

// Fixed commands: the result of sendStr.
int xfrInit(int fd);           // "CLR": clear the supply
int xfrEnableOutput(int fd);   // "OUT 1"
int xfrDisableOutput(int fd);  // "OUT 0"
int xfrReset(int fd);          // "RST"
int xfrTrigger(int fd);        // "TRG"

// Voltage setpoints: -1 and a message when the value is out of range
// (below 0 or above the limit; for VSET at or above the limit), else the
// result of sendStr.
int xfrOverVoltSet(int fd, double volts);
int xfrVMax(int fd, double volts);
int xfrSetVolts(int fd, double volts);

// Current setpoints: accepted only from 0 to the limit, both included;
// -2 and a message otherwise, else the result of sendStr.
int xfrIMax(int fd, double amperes);
int xfrSetCurrent(int fd, double amperes);

// Queries: send, wait for an answer with up to 10 attempts, and parse it
// once. Result 1 when the answer parsed (the value is stored), 0 when it is
// another text, -1 (EOF) when nothing usable arrived, or the negative result
// of a failed send. The output is untouched unless the answer parsed.
int xfrGetIOut(int fd, double* amperes);
int xfrGetISet(int fd, double* amperes);
int xfrGetOut(int fd, int* state);
int xfrGetVOut(int fd, double* volts);
int xfrGetVSet(int fd, double* volts);
int xfrGetErr(int fd, int* code);
// Three exchanges (ASTS, STS, FAULT); the result is that of the third,
// unless a send failed before.
int xfrGetStatus(int fd, int* asts, int* sts, int* fault);
// As xfrGetStatus, and each exchange's own result in results[0..2] (1 when
// its register was stored; -1 for an exchange never made after a failed send).
int xfrGetStatusEach(int fd, int* asts, int* sts, int* fault, int results[3]);

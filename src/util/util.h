// Small helpers shared by every module: a millisecond sleep, a hexadecimal
// text parser, the "module:line:" prefix of located error messages and a
// monotonic clock.
#pragma once

// Sleeps for ms milliseconds. A signal may end the sleep early. Returns the
// status of the underlying sleep call (0, or -1); a duration of 0 or less
// returns 0 at once.
int msleep(int ms);

// Value of the hexadecimal digits at the start of text (either case); the
// scan stops at the first other character. Digits shifted beyond 32 bits are
// lost: the result is the low 32 bits of the number, read as a signed int.
int ahextoi(const char* text);

// Writes "module:line:" on standard error, before a located error message.
void printLocation(const char* module, int line);

// Milliseconds on the monotonic clock, for deadlines within a call; unaffected
// by changes of the wall clock.
long long monotonicMs();

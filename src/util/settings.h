// Process-wide settings read by the port layer and the supply driver. They are
// declared here, at the bottom of the house, so that those modules need no
// header of the charger above them; the charger module defines them.
#pragma once

#include <csignal>

// Verbosity of the diagnostic traces on standard error: the port layer and
// the supply driver trace above 0, 3 or 4. The charger never changes it.
extern int DEBUG_LEVEL;

// When not 0, the port layer leaves out its receive progress lines on
// standard output ("calling select" and the rest), so that a tool's standard
// output holds only its results. The charger leaves it at 0.
extern int QUIET_PORT_PROGRESS;

// The number of a stop signal that has arrived and is not yet acted on, or
// 0. The charger's handlers set it and do nothing else; while it is set, the
// port layer's waits (for a reply, for room to send, for a line to drain,
// for a connect) end at once, so that the charger can act on it promptly.
extern volatile std::sig_atomic_t STOP_SIGNAL;

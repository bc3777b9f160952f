// Process-wide settings read by the port layer and the supply driver. They are
// declared here, at the bottom of the house, so that those modules need no
// header of the charger above them; the charger module defines them.
#pragma once

// Verbosity of the diagnostic traces on standard error: the port layer and
// the supply driver trace above 0, 3 or 4. The charger never changes it.
extern int DEBUG_LEVEL;

// When not 0, the port layer leaves out its receive progress lines on
// standard output ("calling select" and the rest), so that a tool's standard
// output holds only its results. The charger leaves it at 0.
extern int QUIET_PORT_PROGRESS;

#include "util/settings.h"

int DEBUG_LEVEL = 0;
int QUIET_PORT_PROGRESS = 0;
volatile std::sig_atomic_t STOP_SIGNAL = 0;

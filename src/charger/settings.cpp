#include "util/settings.h"

int DEBUG_LEVEL = 0;
int QUIET_PORT_PROGRESS = 0;

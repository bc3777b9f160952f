// The live view: one line that follows a charge log as the charger appends
// to it.
#pragma once

#include <string>

// Follows path (a charge log, or a directory whose newest charge log is
// followed) until SIGINT or SIGTERM; with once, shows the view once and
// returns. Returns the exit status.
int followChargeLog(const std::string& path, bool once);

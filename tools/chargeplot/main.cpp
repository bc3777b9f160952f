// chargeplot: draws a charge log, or follows one live as it grows.
#include <cstdio>
#include <cstring>
#include <string>

#include "follow.h"
#include "plot.h"

namespace {

int usage(const char* why) {
    fprintf(stderr,
            "chargeplot: %s\n"
            "usage: chargeplot LOG PNG                  draw a charge log\n"
            "       chargeplot --script LOG FILE        write the gnuplot script that draws it\n"
            "       chargeplot --follow [--once] PATH   follow a charge log as it grows (PATH: the log,\n"
            "                                           or a directory: its newest charge log)\n",
            why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "--follow") == 0) {
        const bool once = argc >= 3 && strcmp(argv[2], "--once") == 0;
        const int first = once ? 3 : 2;
        if (argc != first + 1) return usage("--follow takes one log or directory");
        return followChargeLog(argv[first], once);
    }
    if (argc >= 2 && strcmp(argv[1], "--script") == 0) {
        if (argc != 4) return usage("--script takes a log and a file");
        return drawChargePlot(argv[2], argv[3], true);
    }
    if (argc != 3) return usage("expected a log and an image");
    if (argv[1][0] == '-' && argv[1][1] != '\0') return usage("unknown option");
    return drawChargePlot(argv[1], argv[2], false);
}

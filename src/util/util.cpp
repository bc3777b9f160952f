#include "util/util.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

int msleep(int ms) {
    if (ms <= 0) return 0;
    // usleep takes at most a 32-bit count of microseconds; longer pauses
    // (never asked for by the system) go through nanosleep instead.
    if (ms <= 2147483) return usleep(static_cast<useconds_t>(ms) * 1000u);
    timespec pause{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    return nanosleep(&pause, nullptr);
}

int ahextoi(const char* text) {
    // Unsigned arithmetic wraps by definition; the conversion back to int
    // keeps the low 32 bits as two's complement.
    std::uint32_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        std::uint32_t digit;
        if (*p >= '0' && *p <= '9') {
            digit = static_cast<std::uint32_t>(*p - '0');
        } else if (*p >= 'A' && *p <= 'F') {
            digit = static_cast<std::uint32_t>(*p - 'A' + 10);
        } else if (*p >= 'a' && *p <= 'f') {
            digit = static_cast<std::uint32_t>(*p - 'a' + 10);
        } else {
            break;
        }
        value = value * 16u + digit;
    }
    return static_cast<std::int32_t>(value);
}

void printLocation(const char* module, int line) { fprintf(stderr, "%s:%d:", module, line); }

long long monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000LL + now.tv_nsec / 1000000L;
}

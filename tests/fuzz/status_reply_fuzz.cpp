// The pack's status reply from arbitrary bytes: decoded, reported, logged and
// formatted for the system log exactly as an accepted poll does it.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "charger/charger.h"

namespace {

FILE* sink() {
    static FILE* devNull = fopen("/dev/null", "w");
    return devNull;
}

// The receive leaves the buffer zeroed past the bytes read; a read of the
// whole buffer leaves no terminator, and the charger decodes only counts
// below it, so longer inputs are cut to one byte less.
void fillReply(std::array<char, REPLY_BUFFER_SIZE>& reply, const std::uint8_t* data, std::size_t size) {
    reply.fill('\0');
    std::size_t count = size < reply.size() - 1 ? size : reply.size() - 1;
    memcpy(reply.data(), data, count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<char, REPLY_BUFFER_SIZE> reply;
    fillReply(reply, data, size);

    BatteryStatus status{};
    decodeStatusReply(reply.data(), &status);
    printStatusReport(sink(), status, 1700000000);
    writeChargeLogRecord(sink(), status, 1700000000);
    const SyslogLines lines = formatSyslogLines(status);
    if (memchr(lines.currentAndGauge.data(), '\0', lines.currentAndGauge.size()) == nullptr ||
        memchr(lines.humidity.data(), '\0', lines.humidity.size()) == nullptr) {
        abort();
    }

    // Only the first 74 characters are read, unless white space or a zero
    // byte there lets a scan run on past them.
    for (std::size_t i = 0; i < 74; ++i) {
        if (reply[i] == '\0' || isspace(static_cast<unsigned char>(reply[i]))) return 0;
    }
    std::array<char, REPLY_BUFFER_SIZE> tail = reply;
    for (std::size_t i = 74; i < tail.size() - 1; ++i) tail[i] = 'F';
    BatteryStatus again{};
    decodeStatusReply(tail.data(), &again);
    if (memcmp(&status, &again, sizeof status) != 0) abort();
    return 0;
}

#include "chargelog.h"

#include <charconv>
#include <cstdio>

#include "charger/charger.h"

namespace {

bool allDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// "[-]digits.dd", as "%.2f" writes it; leading blanks only when allowed.
bool twoDecimals(std::string_view text, bool blanksAllowed, bool signAllowed, double* value) {
    std::string_view rest = text;
    if (blanksAllowed) {
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    }
    std::string_view digits = rest;
    if (signAllowed && !digits.empty() && digits.front() == '-') digits.remove_prefix(1);
    const std::size_t dot = digits.find('.');
    if (dot == std::string_view::npos || dot == 0 || digits.size() - dot != 3) return false;
    if (!allDigits(digits.substr(0, dot)) || !allDigits(digits.substr(dot + 1))) return false;
    return std::from_chars(rest.data(), rest.data() + rest.size(), *value).ec == std::errc();
}

// "%2x": small hex letters, one leading blank allowed.
bool hexRegister(std::string_view text, unsigned* value) {
    if (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (text.empty()) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return std::from_chars(text.data(), text.data() + text.size(), *value, 16).ec == std::errc();
}

std::string quoted(const char* what, std::string_view text, const char* problem) {
    return std::string(what) + " \"" + std::string(text) + "\" " + problem;
}

}  // namespace

bool parseChargeRecord(std::string_view line, ChargeRecord* record, std::string* why) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view fields[8];
    int count = 0;
    if (!line.empty()) {
        std::size_t from = 0;
        for (;;) {
            std::size_t comma = line.find(',', from);
            if (count < 8)
                fields[count] = line.substr(from, comma == std::string_view::npos ? comma : comma - from);
            ++count;
            if (comma == std::string_view::npos) break;
            from = comma + 1;
        }
    }
    if (count != 8) {
        *why = "expected 8 comma-separated fields, found " + std::to_string(count);
        return false;
    }
    ChargeRecord r;
    if (!allDigits(fields[0]) ||
        std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), r.time).ec != std::errc()) {
        *why = quoted("time", fields[0], "is not whole seconds");
        return false;
    }
    if (!twoDecimals(fields[1], true, false, &r.gauge)) {
        *why = quoted("gas gauge", fields[1], "is not a percentage");
        return false;
    }
    if (!twoDecimals(fields[2], false, true, &r.current)) {
        *why = quoted("current", fields[2], "is not in amperes");
        return false;
    }
    std::string_view humidity = fields[3];
    std::string_view humidityDigits = humidity;
    if (!humidityDigits.empty() && humidityDigits.front() == '-') humidityDigits.remove_prefix(1);
    if (!allDigits(humidityDigits) ||
        std::from_chars(humidity.data(), humidity.data() + humidity.size(), r.humidity).ec != std::errc()) {
        *why = quoted("humidity", humidity, "is not a whole number");
        return false;
    }
    unsigned* registers[4] = {&r.balance, &r.tempAlert, &r.voltAlert, &r.status};
    for (int i = 0; i < 4; ++i) {
        if (!hexRegister(fields[4 + i], registers[i])) {
            *why = quoted("register", fields[4 + i], "is not hexadecimal");
            return false;
        }
    }
    *record = r;
    return true;
}

double stageAmperes(int stage) {
    return STAGE_CURRENT[static_cast<std::size_t>(stage < 0 ? 0 : stage > FINAL_STAGE ? FINAL_STAGE : stage)];
}

// The charger's own rule, one step per record.
std::string StageTracker::step(unsigned balance) {
    const bool advance = balanceAdvances(stage, static_cast<int>(balance));
    if (advance && stage < FINAL_STAGE) {
        ++stage;
        char label[48];
        snprintf(label, sizeof label, "stage %d (%g A)", stage, stageAmperes(stage));
        return label;
    }
    if (advance && !packOff) {
        packOff = true;
        return "pack off";
    }
    return {};
}

long long startTimeFromName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string suffix = "olm.log";
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return -1;
    }
    const std::string_view digits(name.data(), name.size() - suffix.size());
    long long seconds = -1;
    if (!allDigits(digits) ||
        std::from_chars(digits.data(), digits.data() + digits.size(), seconds).ec != std::errc()) {
        return -1;
    }
    return seconds;
}

std::string clockDuration(long long seconds) {
    if (seconds < 0) seconds = 0;
    char text[32];
    snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text;
}

#include "model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr double CAPACITY_AMPERE_HOURS = 40.0;
constexpr double SELF_DRAW_AMPERES = 0.10;  // the pack's electronics, with no supply on
constexpr double INTERNAL_OHMS = 0.05;      // whole stack
constexpr double CELL_OHMS = 0.0015;
constexpr double TEMP_TIME_CONSTANT = 600.0;
constexpr double SUPPLY_VOLT_RANGE = 60.0;
constexpr double SUPPLY_AMPERE_RANGE = 60.0;

// How far ahead of the pack's own charge each cell runs, in percent: a cell
// reaches its top when the pack is this far from full. Unequal, so that the
// balance register fills one bit at a time and not in cell order.
constexpr std::array<double, 8> CELL_LEAD{5.0, 1.2, 8.8, 0.0, 3.8, 7.5, 2.5, 10.0};

constexpr int ERROR_COMMAND = 1;
constexpr int ERROR_RANGE = 2;

constexpr int STS_CONSTANT_VOLTAGE = 1;
constexpr int STS_CONSTANT_CURRENT = 2;

double cellCharge(const Pack& pack, std::size_t cell) {
    return std::min(100.0, pack.charge + CELL_LEAD[cell]);
}

// Millivolts of a cell at rest plus its drop at the present current.
double cellMillivolts(const Pack& pack, std::size_t cell, double amperes) {
    return 3050.0 + 4.5 * cellCharge(pack, cell) + CELL_OHMS * 1000.0 * amperes + 2.0 * cell;
}

double stackVolts(const Pack& pack, double amperes) {
    double millivolts = 0.0;
    for (std::size_t cell = 0; cell < CELL_LEAD.size(); ++cell)
        millivolts += cellMillivolts(pack, cell, amperes);
    return millivolts / 1000.0;
}

// The most current the pack takes: all it is offered until 85 %, then less
// and less towards full, nothing once full.
double acceptance(double charge) {
    if (charge >= 100.0) return 0.0;
    if (charge < 85.0) return SUPPLY_AMPERE_RANGE;
    return std::max(3.0, SUPPLY_AMPERE_RANGE - (charge - 85.0) * 3.8);
}

double currentLimit(const Supply& supply) {
    return supply.maxAmperes > 0.0 ? std::min(supply.amperes, supply.maxAmperes) : supply.amperes;
}

int supplyStatus(const Supply& supply, const Pack& pack) {
    if (!supply.outputOn) return 0;
    double amperes = chargeCurrent(supply, pack);
    return amperes > 0.0 && amperes >= currentLimit(supply) - 1e-9 ? STS_CONSTANT_CURRENT
                                                                   : STS_CONSTANT_VOLTAGE;
}

int roundTemp(double celsius) { return std::clamp(static_cast<int>(std::lround(celsius)), 0, 255); }

std::string answer(const char* mnemonic, double value) {
    char text[24];
    snprintf(text, sizeof text, "%s %.4f\r", mnemonic, value);
    return text;
}

std::string answer(const char* mnemonic, int value) {
    char text[24];
    snprintf(text, sizeof text, "%s %d\r", mnemonic, value);
    return text;
}

// Reads the number of a setpoint command ("VSET 35.9000V"): digits, then at
// most the unit letter.
bool parseSetpoint(const std::string& argument, char unit, double* value) {
    if (argument.empty()) return false;
    char* end = nullptr;
    double parsed = strtod(argument.c_str(), &end);
    if (end == argument.c_str()) return false;
    if (*end == unit) ++end;
    if (*end != '\0' || !std::isfinite(parsed)) return false;
    *value = parsed;
    return true;
}

// The current through the pack: the charge current, or the draw of its own
// electronics when it is enabled and the supply's output is off.
double packAmperes(const Supply& supply, const Pack& pack) {
    const double amperes = chargeCurrent(supply, pack);
    if (amperes > 0.0) return amperes;
    return pack.enabled && !supply.outputOn ? -SELF_DRAW_AMPERES : 0.0;
}

}  // namespace

void initPack(Pack* pack, double charge, double ambient) {
    *pack = Pack{};
    pack->charge = std::clamp(charge, 0.0, 100.0);
    pack->ambient = ambient;
    pack->layerTemp.fill(ambient);
    pack->heatsinkTemp = ambient;
}

double chargeCurrent(const Supply& supply, const Pack& pack) {
    if (!supply.outputOn || !pack.enabled || supply.fault != 0) return 0.0;
    const double headroom = supply.volts - stackVolts(pack, 0.0);
    if (headroom <= 0.0) return 0.0;
    return std::min({currentLimit(supply), acceptance(pack.charge), headroom / INTERNAL_OHMS});
}

void advance(Supply* supply, Pack* pack, double seconds) {
    while (seconds > 0.0) {
        // One-second steps keep the temperatures and the taper smooth at any
        // time scale.
        const double step = std::min(seconds, 1.0);
        seconds -= step;
        supply->accumulated |= supplyStatus(*supply, *pack);

        pack->amperes = packAmperes(*supply, *pack);
        pack->charge += pack->amperes * step / 3600.0 / CAPACITY_AMPERE_HOURS * 100.0;
        pack->charge = std::clamp(pack->charge, 0.0, 100.0);

        const double follow = std::min(1.0, step / TEMP_TIME_CONSTANT);
        const double heating = std::fabs(pack->amperes);
        for (std::size_t layer = 0; layer < pack->layerTemp.size(); ++layer) {
            // The middle layers run a little warmer than the outer ones.
            const double middle = 3.5 - std::fabs(static_cast<double>(layer) - 3.5);
            const double target = pack->ambient + 0.3 * heating + 0.5 * middle;
            pack->layerTemp[layer] += (target - pack->layerTemp[layer]) * follow;
        }
        pack->heatsinkTemp += (pack->ambient + 0.5 * heating - pack->heatsinkTemp) * follow;
    }
    pack->amperes = packAmperes(*supply, *pack);
}

std::string supplyCommand(Supply* supply, const Pack& pack, const std::string& text) {
    const std::size_t space = text.find(' ');
    const std::string mnemonic = text.substr(0, space);
    std::string argument = space == std::string::npos ? "" : text.substr(space + 1);
    argument.erase(0, argument.find_first_not_of(' '));

    if (mnemonic == "IOUT?") return answer("IOUT", chargeCurrent(*supply, pack));
    if (mnemonic == "VOUT?") {
        double amperes = chargeCurrent(*supply, pack);
        double volts = !supply->outputOn ? 0.0 : amperes > 0.0 ? stackVolts(pack, amperes) : supply->volts;
        return answer("VOUT", volts);
    }
    if (mnemonic == "ISET?") return answer("ISET", supply->amperes);
    if (mnemonic == "VSET?") return answer("VSET", supply->volts);
    if (mnemonic == "OUT?") return answer("OUT", supply->outputOn ? 1 : 0);
    if (mnemonic == "ERR?") {
        int error = supply->error;
        supply->error = 0;
        return answer("ERR", error);
    }
    if (mnemonic == "ASTS?") {
        int accumulated = supply->accumulated | supplyStatus(*supply, pack);
        supply->accumulated = 0;
        return answer("ASTS", accumulated);
    }
    if (mnemonic == "STS?") return answer("STS", supplyStatus(*supply, pack));
    if (mnemonic == "FAULT?") return answer("FAULT", supply->fault);

    if (mnemonic == "CLR" && argument.empty()) {
        supply->error = 0;
        supply->fault = 0;
        supply->accumulated = 0;
    } else if (mnemonic == "RST" && argument.empty()) {
        Supply reset{};
        reset.error = supply->error;
        *supply = reset;
    } else if (mnemonic == "TRG" && argument.empty()) {
        // Setpoints apply at once here; a trigger changes nothing.
    } else if (mnemonic == "OUT" && (argument == "0" || argument == "1")) {
        supply->outputOn = argument == "1";
        // The over-voltage protection trips as soon as the output comes on
        // above it.
        if (supply->outputOn && supply->overVolts > 0.0 && supply->volts > supply->overVolts) {
            supply->fault |= 1;
            supply->outputOn = false;
        }
    } else {
        struct Setpoint {
            const char* mnemonic;
            char unit;
            double range;
            double* value;
        };
        const Setpoint setpoints[] = {
            {"VSET", 'V', SUPPLY_VOLT_RANGE, &supply->volts},
            {"ISET", 'A', SUPPLY_AMPERE_RANGE, &supply->amperes},
            {"OVSET", 'V', SUPPLY_VOLT_RANGE, &supply->overVolts},
            {"VMAX", 'V', SUPPLY_VOLT_RANGE, &supply->maxVolts},
            {"IMAX", 'A', SUPPLY_AMPERE_RANGE, &supply->maxAmperes},
        };
        const Setpoint* match = nullptr;
        for (const Setpoint& setpoint : setpoints) {
            if (mnemonic == setpoint.mnemonic) match = &setpoint;
        }
        double value = 0.0;
        if (match == nullptr || !parseSetpoint(argument, match->unit, &value)) {
            supply->error = ERROR_COMMAND;
        } else if (value < 0.0 || value > match->range ||
                   (match->value == &supply->volts && supply->maxVolts > 0.0 && value > supply->maxVolts)) {
            supply->error = ERROR_RANGE;
        } else {
            *match->value = value;
        }
    }
    return "";
}

PackReading readPack(const Pack& pack) {
    PackReading reading{};
    reading.gasGauge = static_cast<int>(std::lround(pack.charge * 100.0));
    reading.current = static_cast<int>(std::lround(pack.amperes * 100.0));
    const double amperes = std::max(0.0, pack.amperes);
    for (std::size_t cell = 0; cell < CELL_LEAD.size(); ++cell) {
        const int millivolts = static_cast<int>(std::lround(cellMillivolts(pack, cell, amperes)));
        reading.cellMillivolts[cell] = millivolts;
        if (cellCharge(pack, cell) >= 100.0) reading.balance |= 1 << cell;
        if (millivolts > CELL_HIGH_MILLIVOLTS || millivolts < CELL_LOW_MILLIVOLTS)
            reading.voltAlert |= 1 << cell;
    }
    // The reply lists layer 8 first.
    for (std::size_t layer = 0; layer < pack.layerTemp.size(); ++layer) {
        reading.temps[7 - layer] = roundTemp(pack.layerTemp[layer]);
        if (pack.layerTemp[layer] > LAYER_TEMP_LIMIT) reading.tempAlert |= 1 << layer;
    }
    reading.temps[8] = roundTemp(pack.heatsinkTemp);
    if (pack.heatsinkTemp > HEATSINK_TEMP_LIMIT) reading.tempAlert |= 1 << 8;

    double mean = 0.0;
    for (double temp : pack.layerTemp) mean += temp / static_cast<double>(pack.layerTemp.size());
    // Warmer air inside the pack holds the same water at a lower humidity.
    reading.humidity = std::clamp(static_cast<int>(std::lround(45.0 - 1.5 * (mean - pack.ambient))), 5, 95);

    bool warm = pack.heatsinkTemp >= 35.0;
    for (double temp : pack.layerTemp) warm = warm || temp >= 35.0;
    if (pack.enabled) reading.status |= STATUS_BATTERY_ENABLE;
    if (pack.amperes > 0.0) reading.status |= STATUS_CHARGE_MODE;
    if (warm) reading.status |= STATUS_FAN;
    if ((reading.tempAlert & 0xFF) != 0) reading.status |= STATUS_BATTERY_HOT;
    if ((reading.tempAlert & 0x100) != 0) reading.status |= STATUS_HEATSINK_HOT;
    for (int millivolts : reading.cellMillivolts) {
        if (millivolts > CELL_HIGH_MILLIVOLTS) reading.status |= STATUS_OVERVOLTAGE;
    }
    return reading;
}

std::string formatStatusReply(const PackReading& r) {
    char text[96];
    int length = snprintf(text, sizeof text, "%04X", static_cast<unsigned>(r.gasGauge) & 0xFFFF);
    for (int millivolts : r.cellMillivolts) {
        length +=
            snprintf(text + length, sizeof text - length, "%04X", static_cast<unsigned>(millivolts) & 0xFFFF);
    }
    // Signed hundredths, as 16-bit two's complement.
    length +=
        snprintf(text + length, sizeof text - length, "%04X", static_cast<unsigned>(r.current) & 0xFFFF);
    for (int temp : r.temps) length += snprintf(text + length, sizeof text - length, "%02X", temp & 0xFF);
    snprintf(text + length, sizeof text - length, "%02X%02X%04X%04X%04X%s", r.humidity & 0xFF,
             r.balance & 0xFF, r.tempAlert & 0xFFFF, r.voltAlert & 0xFFFF, r.status & 0xFFFF, REPLY_TRAILER);
    return text;
}

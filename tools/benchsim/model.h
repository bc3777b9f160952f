// The simulated instruments: a Xantrex-style supply and an eight-cell pack
// that charges from it. Plain records and functions; no I/O here.
#pragma once

#include <array>
#include <string>

// Bytes after the 74 hex characters of a status reply; the charger does not
// read them.
constexpr const char* REPLY_TRAILER = "XX\n";
constexpr int REPLY_LENGTH = 77;

struct Supply {
    bool outputOn = false;
    double volts = 0.0;       // VSET
    double amperes = 0.0;     // ISET
    double overVolts = 0.0;   // OVSET, 0 while unset
    double maxVolts = 0.0;    // VMAX, 0 while unset
    double maxAmperes = 0.0;  // IMAX, 0 while unset
    int error = 0;            // last error, cleared by CLR and by ERR?
    int fault = 0;            // FAULT register: bit 0 over-voltage trip
    int accumulated = 0;      // ASTS: status bits seen since the last ASTS?
};

struct Pack {
    bool enabled = false;  // started by @AC, opened by @AF
    double charge = 20.0;  // state of charge, percent
    double amperes = 0.0;  // pack current, charge positive
    std::array<double, 8> layerTemp{};
    double heatsinkTemp = 0.0;
    double ambient = 25.0;
};

// Limits past which the alert registers flag a cell or a layer.
constexpr int CELL_HIGH_MILLIVOLTS = 3650;
constexpr int CELL_LOW_MILLIVOLTS = 2900;
constexpr double LAYER_TEMP_LIMIT = 45.0;
constexpr double HEATSINK_TEMP_LIMIT = 60.0;

void initPack(Pack* pack, double charge, double ambient);

// The current the pack draws from the supply now, in amperes.
double chargeCurrent(const Supply& supply, const Pack& pack);

// Advances both instruments by seconds of simulated time.
void advance(Supply* supply, Pack* pack, double seconds);

// Handles one supply command or query (without its terminator). Returns
// the answer to send, terminator included, or "" for a command.
std::string supplyCommand(Supply* supply, const Pack& pack, const std::string& text);

// The pack's view of itself, as its status reply carries it.
struct PackReading {
    int gasGauge;  // hundredths of a percent
    std::array<int, 8> cellMillivolts;
    int current;               // hundredths of an ampere, signed
    std::array<int, 9> temps;  // layers 8 down to 1, then the heatsink
    int humidity;
    int balance;    // bit n: cell n+1 at its top
    int tempAlert;  // bit n: layer n+1; bit 8: heatsink
    int voltAlert;  // bit n: cell n+1 out of range
    int status;
};

PackReading readPack(const Pack& pack);

// The 77-byte status reply of a reading.
std::string formatStatusReply(const PackReading& reading);

// Status register bits the pack sets.
constexpr int STATUS_FAN = 1 << 3;
constexpr int STATUS_OVERVOLTAGE = 1 << 8;
constexpr int STATUS_CHARGE_MODE = 1 << 10;
constexpr int STATUS_HEATSINK_HOT = 1 << 13;
constexpr int STATUS_BATTERY_HOT = 1 << 14;
constexpr int STATUS_BATTERY_ENABLE = 1 << 15;

// The charge log as the charger writes it: one record per accepted status
// reply, eight comma-separated fields
//   seconds,gauge,current,humidity,balance,temp alert,volt alert,status
// with the registers in "%2x" (small hex letters, a leading space below 0x10).
#pragma once

#include <string>
#include <string_view>

struct ChargeRecord {
    long long time = 0;    // seconds since the epoch
    double gauge = 0.0;    // state of charge, %
    double current = 0.0;  // pack current, A
    int humidity = 0;      // relative humidity, %
    unsigned balance = 0;
    unsigned tempAlert = 0;
    unsigned voltAlert = 0;
    unsigned status = 0;
};

// Parses one line (without its newline; a trailing carriage return is
// allowed). Returns true, or false with why it is not a record.
bool parseChargeRecord(std::string_view line, ChargeRecord* record, std::string* why);

// The charger's stage rule, applied to each record in turn: stages 1 and 2
// begin at a non-zero balance register, stage 3 at 0xff, and 0xff in stage 3
// sends the pack's off command.
struct StageTracker {
    int stage = 0;
    bool packOff = false;
    // Applies the rule to one record; returns the label of a step it takes
    // ("stage 2 (12.5 A)", "pack off"), or an empty text.
    std::string step(unsigned balance);
};

// The charge current of a stage, A.
double stageAmperes(int stage);

// The start time the charger put in the log's name ("<seconds>olm.log"), or
// -1 when the name is not of that form.
long long startTimeFromName(const std::string& path);

// "h:mm:ss" for a number of seconds (negative counts as 0).
std::string clockDuration(long long seconds);

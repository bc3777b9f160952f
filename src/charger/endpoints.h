// The instruments' endpoints, fixed when the program is built: each charger
// executable is linked with one generated definition of them (from
// endpoints.cpp.in), one per rig.
#pragma once

extern const char* const PACK_ENDPOINT;
extern const char* const SUPPLY_ENDPOINT;

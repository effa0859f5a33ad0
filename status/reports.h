// The pieces of the four reports to the Manager PC that are worth reaching from outside
// CCenterSession: the data sizes and the mapping of the signal status code.
#pragma once

#include <cstdint>

constexpr int kStatusReportSize = 843;  // full status report (opcode 55)
constexpr int kShortStatusSize = 24;    // short status report (opcode 59)
constexpr int kTrafficReportSize = 68;  // traffic report (opcode 56)
constexpr int kTimeReportSize = 19;     // time report (opcode 57)

// The main operation program's signal status code as the Manager PC knows it; writes the
// debug line "****** cSignalStatus => %x -> [%x]".
uint8_t MapSignalStatus(uint8_t nRaw);

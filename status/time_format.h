// Time texts of the reports and the Manager PC's time commands.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// n characters of YYYYMMDDhhmmss (sixteen '0' when t <= 0), without a NUL.
void FormatTimeDigits(char* pOut, int n, int64_t t);
// "%4d/%02d/%02d %02d:%02d:%02d" and its NUL (20 bytes), or "" when t <= 0.
void FormatTimeText(char* pOut, int n, int64_t t);
// The 14-digit time text as local time (each field by atoi from its fixed place), -1 when
// the library cannot convert it. pText holds nSize readable bytes; at most 14 are read,
// a NUL among them ends only the field it is in.
int64_t ParseTimeDigits(const char* pText, size_t nSize);
vplat::LocalTime ParseTimeDigitsToSystemTime(vplat::LocalTime* pOut, const char* pText,
                                             size_t nSize);

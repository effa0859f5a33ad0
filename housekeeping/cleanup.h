// The midnight cleanup: violation files older than 30 days move to "d:/delete_img",
// pictures without plate older than 20 days are deleted. Age comes from the file name.
#pragma once

#include <cstdint>

void MoveOldImageFiles(int64_t tNow);
void DeleteOldNoPlateFiles(int64_t tNow);
// The date number YYYYMMDD of the local date of (tNow - nAgeSeconds).
long long CutoffDate(int64_t tNow, int64_t nAgeSeconds);

// The midnight cleanup: violation files older than 30 days move to "d:/delete_img",
// pictures without plate older than 20 days are deleted. Age comes from the file name.
#pragma once

#include <cstdint>

// Both list, copy and delete by full paths (the folder is still made current), skip
// names of 64 characters or more, and touch nothing while the station ID is empty.
void MoveOldImageFiles(int64_t tNow);
void DeleteOldNoPlateFiles(int64_t tNow);
// The date number YYYYMMDD of the local date of (tNow - nAgeSeconds).
long long CutoffDate(int64_t tNow, int64_t nAgeSeconds);

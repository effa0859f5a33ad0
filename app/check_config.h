// velmora --check-config: reads the station's two INI files exactly as the station does
// at start (LoadConfig through the platform's profile reader), prints the value each
// setting takes and where it came from, then the problems that would make the station
// fail quietly (missing files and folders, a Manager PC address that is not one, a
// station ID the violation files cannot match, an unknown or mistyped key).
#pragma once

#include <cstdio>

// Prints the report to out; 0 when no problem was found, 1 otherwise.
int CheckConfig(FILE* out);

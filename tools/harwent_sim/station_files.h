// What harwent-sim publishes for the station: the two shared-memory areas and the
// violation files, named and shaped as the main operation program makes them.
#pragma once

#include <string>

class StationFiles {
public:
    explicit StationFiles(long nVolMaxBytes);
    // Creates LOCALSTATUSINFO and TRAFFICSENDINFO with plausible content when they do
    // not exist yet; existing areas are left as they are. False when neither can be made.
    bool CreateSharedAreas();
    // Writes one violation file "<YYYYMMDDhhmmss><nn>.<station id>" of random size into
    // the violation directory (whole, under its final name only when complete).
    bool WriteViolationFile(std::string* pName);

    std::string m_szStationId;  // LOCAL_ADDRESS, first five characters
    std::string m_szVolDir;     // ENF_IMG_DIRECTORY
private:
    long m_nVolMaxBytes;        // largest violation file written
    int m_nSeq = 0;             // sequence within one second
    unsigned m_nRand = 12345;   // state of the size generator
};

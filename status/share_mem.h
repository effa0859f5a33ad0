// CShareMem: the named file mappings that the main operation program creates
// ("LOCALSTATUSINFO", "TRAFFICSENDINFO"); this program only opens them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr size_t kLocalStatusMinSize = 2436;  // bytes of LOCALSTATUSINFO this program uses
constexpr size_t kTrafficInfoMinSize = 68;    // bytes of TRAFFICSENDINFO this program uses

// One opened area.
struct ShareMemHandle {
    int64_t hFile = -1;           // stays unset for an area opened by name
    vplat::MappedView hMap;       // the mapping and its view
    uint8_t* pView = nullptr;     // start of the view
};

class CShareMem {
public:
    CShareMem() = default;
    virtual ~CShareMem() = default;
    // Opens the area by name; null when it does not exist or is smaller than nMinSize
    // (with a debug line).
    ShareMemHandle* OpenShareMem(const char* szName, size_t nMinSize);
    uint8_t* GetShareMemView(ShareMemHandle* h) { return h ? h->pView : nullptr; }
    int CloseShareMem(ShareMemHandle* h, int bCloseFile);
};

// Writes a 32-bit value little-endian, as the station's areas and reports hold it.
inline void PutInt32Le(uint8_t* p, int32_t nValue) {
    const uint32_t u = static_cast<uint32_t>(nValue);
    p[0] = static_cast<uint8_t>(u);
    p[1] = static_cast<uint8_t>(u >> 8);
    p[2] = static_cast<uint8_t>(u >> 16);
    p[3] = static_cast<uint8_t>(u >> 24);
}

// Offsets in LOCALSTATUSINFO that this program writes.
constexpr size_t LS_STATION_TEXT = 0;     // 8 bytes, NUL-terminated station text
constexpr size_t LS_SEND_TO_MANAGER = 2336;
constexpr size_t LS_REPORT_TIME = 2340;   // 20 bytes
constexpr size_t LS_OWN_ADDRESS = 2404;   // 16 bytes

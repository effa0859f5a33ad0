// Fuzz target for the INI reading of the station's settings: the platform's INI lookup on
// arbitrary text, with the buffer sizes the settings use (8 bytes for numbers, 32 for
// texts, 8 for the loop keys), followed by the conversions the values go through (atoi,
// _atoi64, the dotted address). Looks up a fixed set of the station's keys and, to reach
// odd names, section and key names taken from the input's first line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "config/profile_load.h"
#include "platform/ini_parse.h"

namespace {

struct Key {
    const char* szSection;
    const char* szKey;
};

const Key kKeys[] = {
    {"SelectSystem", "THIS_PROGRAM_KIND"},
    {"LocalInfo", "LOCAL_ADDRESS"},
    {"LocalInfo", "MANAGE_PC_IP"},
    {"LocalInfo", "CDMA_TEL_NUMBER"},
    {"DigitalCAM_1", "LOOP1_CHASUN_1"},
    {"AdditionItem", "ENF_IMG_DIRECTORY"},
    {"Velmora", "MODEM_PORT"},
    {"", ""},
};

void Exercise(std::string_view szText, std::string_view szSection, std::string_view szKey) {
    std::string szValue;
    if (!vplat::IniFindValue(szText, szSection, szKey, &szValue)) return;
    // The three buffer sizes of the settings; a canary byte after each must survive.
    for (size_t nSize : {size_t{8}, size_t{32}, size_t{1}}) {
        char szBuf[40];
        std::memset(szBuf, 0x5A, sizeof szBuf);
        const size_t n = vplat::IniCopyResult(szValue, szBuf, nSize);
        if (n >= nSize || szBuf[n] != '\0' || szBuf[nSize] != 0x5A) __builtin_trap();
        (void)SafeAtoi(szBuf);
        (void)SafeAtoi64(szBuf);
        (void)Ipv4FromText(szBuf);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string_view szText(reinterpret_cast<const char*>(pData), nSize);
    for (const Key& k : kKeys) Exercise(szText, k.szSection, k.szKey);
    // "section|key" on the first line names one more lookup.
    const size_t nLineEnd = szText.find('\n');
    const std::string_view szFirst = szText.substr(0, nLineEnd);
    const size_t nBar = szFirst.find('|');
    if (nBar != std::string_view::npos) {
        Exercise(szText, szFirst.substr(0, nBar), szFirst.substr(nBar + 1));
    }
    // Whole-input conversions: untrusted text of any length.
    const std::string szCopy(szText);
    (void)SafeAtoi(szCopy.c_str());
    (void)SafeAtoi64(szCopy.c_str());
    (void)Ipv4FromText(szCopy.c_str());
    return 0;
}

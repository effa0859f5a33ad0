// Shared-memory content and violation files of the main operation program stand-in.
#include "tools/harwent_sim/station_files.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr size_t kLocalStatusSize = 4096;
constexpr size_t kTrafficSize = 512;

std::string ReadIni(const char* szPath, const char* szSection, const char* szKey) {
    char szBuf[256] = {};
    vplat::env()->ReadProfileString(szSection, szKey, "", szBuf, sizeof szBuf, szPath);
    return szBuf;
}

void FillLocalStatus(uint8_t* p, const std::string& szStation) {
    std::memcpy(p, szStation.c_str(), std::min<size_t>(szStation.size(), 7));
    for (size_t i = 8; i < 232; ++i) p[i] = static_cast<uint8_t>('A' + i % 26);
    p[232] = 2;                                  // two lanes
    for (size_t i = 233; i <= 239; ++i) p[i] = 1;  // devices normal
    p[240] = 1;
    p[241] = 1;
    p[244] = 1;
    p[693] = 3;
    p[694] = 3;
    for (int i = 0; i < 4; ++i) {  // indexes into the byte table at 872
        p[697 + 4 * i] = 1;
        p[698 + 4 * i] = 2;
        p[699 + 4 * i] = 0;
    }
    for (int i = 0; i < 9; ++i) p[872 + i] = static_cast<uint8_t>(10 + i);
    p[2210] = 1;
    p[2211] = 2;  // signal status code (green)
    p[2216] = 1;
}

}  // namespace

StationFiles::StationFiles(long nVolMaxBytes) : m_nVolMaxBytes(nVolMaxBytes) {
    m_szStationId = ReadIni("D:/QN64-ABRIX/Data/ConfigInfoSetup.ini", "LocalInfo", "LOCAL_ADDRESS")
                        .substr(0, 5);
    if (m_szStationId.empty()) m_szStationId = "ABCDE";
    m_szVolDir = ReadIni("D:/QN64-ABRIX/Data/LocalMemorySet.ini", "AdditionItem", "ENF_IMG_DIRECTORY");
    if (m_nVolMaxBytes < 100) m_nVolMaxBytes = 100;
}

bool StationFiles::CreateSharedAreas() {
    vplat::MappedView local, traffic;
    bool bCreated = false;
    bool bOk = false;
    if (vplat::env()->CreateMapping("LOCALSTATUSINFO", kLocalStatusSize, &local, &bCreated)) {
        if (bCreated) FillLocalStatus(static_cast<uint8_t*>(local.pView), m_szStationId);
        bOk = true;  // the view stays mapped for the life of the program
    }
    if (vplat::env()->CreateMapping("TRAFFICSENDINFO", kTrafficSize, &traffic, &bCreated)) {
        if (bCreated) {
            auto* p = static_cast<uint8_t*>(traffic.pView);
            for (size_t i = 0; i < 68; ++i) p[i] = static_cast<uint8_t>('0' + i % 10);
        }
    } else {
        bOk = false;
    }
    return bOk;
}

bool StationFiles::WriteViolationFile(std::string* pName) {
    if (m_szVolDir.empty()) return false;
    vplat::env()->MakeDirectory(m_szVolDir.c_str());
    const vplat::LocalTime t = vplat::env()->GetLocalTimeNow();
    m_nSeq = (m_nSeq + 1) % 100;
    char szName[64];
    std::snprintf(szName, sizeof szName, "%04d%02d%02d%02d%02d%02d%02d.%s", t.nYear, t.nMonth,
                  t.nDay, t.nHour, t.nMinute, t.nSecond, m_nSeq, m_szStationId.c_str());
    m_nRand = m_nRand * 1103515245u + 12345u;
    const long nSize = 100 + static_cast<long>((m_nRand >> 8) % static_cast<unsigned>(m_nVolMaxBytes - 99));
    std::vector<uint8_t> bytes(static_cast<size_t>(nSize));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 31 + m_nSeq) & 0xFF);
    // Bytes 7 to 42 carry the violation's text, which the station logs when it is sent.
    char szText[40];
    std::snprintf(szText, sizeof szText, "%04d/%02d/%02d %02d:%02d:%02d LANE1 SPD 087   ",
                  t.nYear, t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond);
    std::memcpy(bytes.data(), "VMRA001", 7);
    std::memcpy(bytes.data() + 7, szText, std::min<size_t>(std::strlen(szText), 35));
    bytes[42] = 0;  // the text ends before the picture data
    const std::string szFinal = m_szVolDir + "/" + szName;
    const std::string szPart = szFinal + ".part";
    FILE* pFile = vplat::env()->OpenFile(szPart.c_str(), "wb");
    if (!pFile) return false;
    const bool bWritten = std::fwrite(bytes.data(), 1, bytes.size(), pFile) == bytes.size();
    std::fclose(pFile);
    // Renamed whole into place, so the station never sees a half-written file.
    std::error_code ec;
    if (bWritten) {
        std::filesystem::rename(vplat::env()->MapPath(szPart.c_str()),
                                vplat::env()->MapPath(szFinal.c_str()), ec);
    }
    if (!bWritten || ec) {
        vplat::env()->RemoveFile(szPart.c_str());
        return false;
    }
    *pName = szName;
    return true;
}

// The midnight cleanup of the station's disk: violation files older than 30 days leave
// the violation directory for "d:/delete_img", pictures without a plate older than 20
// days are deleted from "d:/not_plate/". The age of a file is the date its name starts
// with (YYYYMMDD), compared with the local date of now minus the age; only names ending
// in the station ID are touched. Every failure is silent.
#include "housekeeping/cleanup.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "config/profile_load.h"
#include "platform/platform.h"

namespace {

constexpr int64_t kVolMaxAge = 2592000;      // 30 days
constexpr int64_t kNoPlateMaxAge = 1728000;  // 20 days
constexpr const char* kDeleteDir = "d:/delete_img";
constexpr const char* kNoPlateDir = "d:/not_plate/";
constexpr size_t kNameBufSize = 64;   // names at least this long are skipped
constexpr size_t kPathBufSize = 320;  // a directory of up to 255 characters and a name

// The date number of a file: _atoi64 of the first eight characters of its name.
long long FileDate(const char* szName) {
    char szDate[9];
    std::memset(szDate, 0, sizeof szDate);
    std::strncpy(szDate, szName, 8);
    return SafeAtoi64(szDate);
}

// The names in szDir (which ends in a slash) that end in ".<station id>", letter case
// ignored; empty when there is no station ID to match.
std::vector<std::string> ListStationFiles(const char* szDir, const char* szStationId) {
    if (szStationId[0] == '\0') return {};
    char szPattern[kPathBufSize];
    const int n = std::snprintf(szPattern, sizeof szPattern, "%s*.%s", szDir, szStationId);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof szPattern) return {};
    return vplat::env()->FindFiles(szPattern);
}

// The station ID of link entry 0, bounded by its field.
void StationId(CVelmoraDlg* pDlg, char* szOut, size_t nSize) {
    std::memset(szOut, 0, nSize);
    const char* szId = pDlg->m_pConn[0].m_szLocalId;
    const size_t nField = sizeof pDlg->m_pConn[0].m_szLocalId;
    for (size_t i = 0; i < nField && i + 1 < nSize && szId[i] != '\0'; ++i) szOut[i] = szId[i];
}

}  // namespace

long long CutoffDate(int64_t tNow, int64_t nAgeSeconds) {
    const vplat::LocalTime lt = vplat::LocalTimeFromTime64(tNow - nAgeSeconds);
    char szDate[32];
    std::snprintf(szDate, sizeof szDate, "%04d%02d%02d", lt.nYear, lt.nMonth, lt.nDay);
    return SafeAtoi64(szDate);
}

void MoveOldImageFiles(int64_t tNow) {
    CVelmoraDlg* pDlg = g_pMainDlg;
    if (pDlg == nullptr || !pDlg->m_pConn) return;
    vplat::Env* pEnv = vplat::env();
    const long long nCutoff = CutoffDate(tNow, kVolMaxAge);

    char szDir[kPathBufSize];
    const int nDir = std::snprintf(szDir, sizeof szDir, "%s/", pDlg->m_szEnfImgDirectory);
    if (nDir <= 0 || static_cast<size_t>(nDir) >= sizeof szDir) return;
    pEnv->SetCurrentDir(szDir);

    char szId[16];
    StationId(pDlg, szId, sizeof szId);
    // The listing, the copy and the delete all name the directory, so that a missing
    // directory lists nothing instead of the previous current directory.
    for (const std::string& szName : ListStationFiles(szDir, szId)) {
        if (szName.size() >= kNameBufSize) continue;
        if (FileDate(szName.c_str()) > nCutoff) continue;
        char szFrom[kPathBufSize];
        char szTo[kPathBufSize];
        std::snprintf(szFrom, sizeof szFrom, "%s%s", szDir, szName.c_str());
        std::snprintf(szTo, sizeof szTo, "%s/%s", kDeleteDir, szName.c_str());
        pEnv->MakeDirectory(kDeleteDir);  // fails harmlessly when it exists
        pEnv->CopyFileTo(szFrom, szTo, false);
        pEnv->RemoveFile(szFrom);  // also when the copy failed
    }
}

void DeleteOldNoPlateFiles(int64_t tNow) {
    CVelmoraDlg* pDlg = g_pMainDlg;
    if (pDlg == nullptr || !pDlg->m_pConn) return;
    vplat::Env* pEnv = vplat::env();
    const long long nCutoff = CutoffDate(tNow, kNoPlateMaxAge);
    pEnv->SetCurrentDir(kNoPlateDir);

    char szId[16];
    StationId(pDlg, szId, sizeof szId);
    for (const std::string& szName : ListStationFiles(kNoPlateDir, szId)) {
        if (szName.size() >= kNameBufSize) continue;
        if (FileDate(szName.c_str()) > nCutoff) continue;
        char szPath[kPathBufSize];
        std::snprintf(szPath, sizeof szPath, "%s%s", kNoPlateDir, szName.c_str());
        pEnv->RemoveFile(szPath);
    }
}

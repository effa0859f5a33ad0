// Which file a transfer sends: the oldest violation file of the violation directory (the
// smallest numeric key) or the fixed name of a trigger image under "d:/Capture_img".
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/resource.h"
#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "config/profile_load.h"
#include "housekeeping/system_log.h"
#include "platform/platform.h"
#include "transfer/split_fields.h"

namespace {

constexpr const char* kCaptureDir = "d:/Capture_img";
constexpr long long kNoKeyYet = 9999999999999999LL;  // larger than every key of a file
constexpr size_t kExtLength = 5;                     // characters of the station ID used

// The extension of the station's files: at most the first five characters of the station
// ID of link entry 0.
void StationExtension(CVelmoraDlg* pDlg, char* szExt, size_t nSize) {
    std::memset(szExt, 0, nSize);
    const char* szId = pDlg->m_pConn[0].m_szLocalId;
    const size_t nField = sizeof pDlg->m_pConn[0].m_szLocalId;
    const void* pEnd = std::memchr(szId, '\0', nField);
    size_t n = pEnd ? static_cast<size_t>(static_cast<const char*>(pEnd) - szId) : nField;
    if (n > kExtLength) n = kExtLength;
    if (n > nSize - 1) n = nSize - 1;
    std::memcpy(szExt, szId, n);
}

// Copies szText into szOut of nSize bytes; false (and szOut untouched) when it does not fit.
bool CopyWhole(char* szOut, size_t nSize, const char* szText) {
    size_t n = std::strlen(szText);
    if (szOut == nullptr || n + 1 > nSize) return false;
    std::memcpy(szOut, szText, n + 1);
    return true;
}

}  // namespace

int CCenterSession::getSendFileName(int nKind, int nConn, char* szPath, size_t nPathSize,
                                    char* szName, size_t nNameSize) {
    (void)nConn;  // the extension always comes from the first link entry
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    vplat::Env* pEnv = vplat::env();
    char szExt[8];
    StationExtension(m_pDlg, szExt, sizeof szExt);

    const char* szImage = nullptr;
    switch (nKind) {
        case SEND_ROAD_IMAGE:
            szImage = "RoadImage";
            break;
        case SEND_CAR_IMAGE:
            szImage = "CarImage";
            break;
        case SEND_TRACKING_IMAGE:
            szImage = "TrackingImage";
            break;
        case SEND_VOL:
            break;
        default:
            return 0;
    }
    if (szImage != nullptr) {
        // The name reported to the Manager PC is the full path too.
        char szFixed[64] = {};
        std::snprintf(szFixed, sizeof szFixed, "%s/%s.%s", kCaptureDir, szImage, szExt);
        if (!CopyWhole(szPath, nPathSize, szFixed) || !CopyWhole(szName, nNameSize, szFixed)) {
            return 0;
        }
        pEnv->DebugOutput(szFixed);
        return 1;
    }

    // A violation file. Without a station ID there is no extension to look for: "*." would
    // take files that are not the station's (on Windows, every name without an extension)
    // and delete them once sent, so nothing is sent.
    if (szExt[0] == '\0') {
        pEnv->DebugOutput(
            "getSendFileName: no station ID (LOCAL_ADDRESS), no violation file is sent");
        return 0;
    }
    // The directory is left current afterwards; the listing itself names the directory, so
    // it cannot look into another one.
    const std::string szDir = std::string(m_pDlg->m_szEnfImgDirectory) + "/";
    if (!pEnv->SetCurrentDir(szDir.c_str())) {
        DebugF("getSendFileName: no violation directory %s", szDir.c_str());
        return 0;
    }
    const std::string szPattern = szDir + "*." + szExt;
    const std::vector<std::string> names = pEnv->FindFiles(szPattern.c_str());
    if (names.empty()) return 0;

    std::memset(m_szFileList, 0, sizeof m_szFileList);
    int nCount = 0;
    for (const std::string& szFound : names) {
        if (nCount >= kFileListEntries) break;
        if (szFound == "." || szFound == "..") continue;
        // A name that does not fit an entry is skipped whole: a cut name could be the
        // name of another file.
        if (szFound.size() >= static_cast<size_t>(kFileListEntrySize)) continue;
        // A file the give-up rules could not move aside waits for the next start.
        if (nKind == SEND_VOL && !m_setAsideNames.empty() && IsSetAside(szFound)) continue;
        std::memcpy(m_szFileList[nCount], szFound.c_str(), szFound.size() + 1);
        ++nCount;
    }
    if (nCount == 0) return 0;

    char szOldest[128] = {};
    SelectOldestFileName(szOldest, sizeof szOldest, nCount);
    const std::string szFull = std::string(m_pDlg->m_szEnfImgDirectory) + "/" + szOldest;
    if (szFull.size() + 1 > nPathSize || std::strlen(szOldest) + 1 > nNameSize) {
        DebugF("getSendFileName: path too long %s", szFull.c_str());
        return 0;
    }
    CopyWhole(szName, nNameSize, szOldest);
    CopyWhole(szPath, nPathSize, szFull.c_str());
    m_pDlg->SetItemText(IDC_FILE_NAME, szOldest);
    pEnv->DebugOutput(szOldest);
    return 1;
}

void CCenterSession::SelectOldestFileName(char* szResult, size_t nResultSize, int nCount) {
    if (szResult == nullptr || nResultSize == 0) return;
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (nCount > kFileListEntries) nCount = kFileListEntries;

    long long nSmallest = kNoKeyYet;
    char szExt[8] = {};
    for (int i = 0; i < nCount; ++i) {
        char szEntry[kFileListEntrySize + 1] = {};
        std::memcpy(szEntry, m_szFileList[i], kFileListEntrySize);
        char szBase[24] = {};
        std::memset(szExt, 0, sizeof szExt);
        SplitFields(szEntry, szBase, sizeof szBase, szExt, sizeof szExt, nullptr);
        const long long nKey = SafeAtoi64(szBase);
        if (nKey < nSmallest) nSmallest = nKey;  // on equal keys the earlier entry stays
    }
    std::snprintf(szResult, nResultSize, "%lld.%s", nSmallest, szExt);
}

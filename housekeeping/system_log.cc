// The station's system log: every line for the record goes to the debug output and, once
// the main operation program's shared memory is open, is appended to the day's file
// "d:/System_Log/<year>/<yyyymmdd>.<station text>" in the Korean code page with a CR LF
// end. The file is opened and closed for each line and written with one call, so lines of
// the dialog thread and the link thread never mix. Directories are never created here.
#include "housekeeping/system_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "platform/platform.h"

namespace {

constexpr const char* kLogRoot = "d:/System_Log";
constexpr size_t kLineBufSize = 256;  // a line holds at most 255 bytes
constexpr size_t kPathBufSize = 128;
constexpr size_t kFormatBufSize = 1024;
constexpr const char* kLineEnd = " \r\n";  // the space after the message, then CR LF

// Length of the longest prefix of a CP949 text that fits nMax bytes without splitting a
// two-byte character (lead bytes 0x81-0xFE).
size_t Cp949Prefix(const std::string& szText, size_t nMax) {
    size_t i = 0;
    while (i < szText.size()) {
        const unsigned char c = static_cast<unsigned char>(szText[i]);
        const size_t nChar = (c >= 0x81 && c <= 0xFE && i + 1 < szText.size()) ? 2 : 1;
        if (i + nChar > nMax) break;
        i += nChar;
    }
    return i;
}

}  // namespace

void WriteSystemLog(const char* szMessage) {
    if (szMessage == nullptr) szMessage = "";
    vplat::Env* pEnv = vplat::env();
    pEnv->DebugOutput(szMessage);

    CVelmoraDlg* pDlg = g_pMainDlg;
    if (pDlg == nullptr || pDlg->m_bMmfOpen != 1) return;

    const vplat::LocalTime lt = pEnv->GetLocalTimeNow();
    char szStation[8];
    pDlg->GetStationText(szStation, sizeof szStation);

    // "hh:mm:ss [station] message \r\n". The message is cut (never in the middle of a
    // character) so that the whole line, its end included, fits the 255-byte line.
    char szPrefix[64];
    const int nPrefix = std::snprintf(szPrefix, sizeof szPrefix, "%02d:%02d:%02d [%s] ", lt.nHour,
                                      lt.nMinute, lt.nSecond, szStation);
    if (nPrefix <= 0 || static_cast<size_t>(nPrefix) >= sizeof szPrefix) return;
    const std::string szCp949 = vplat::Utf8ToCp949(szMessage);
    const size_t nEnd = std::strlen(kLineEnd);
    const size_t nRoom = (kLineBufSize - 1) - static_cast<size_t>(nPrefix) - nEnd;
    const size_t nMsg = Cp949Prefix(szCp949, nRoom);

    char szLine[kLineBufSize];
    size_t nLine = 0;
    std::memcpy(szLine, szPrefix, static_cast<size_t>(nPrefix));
    nLine += static_cast<size_t>(nPrefix);
    std::memcpy(szLine + nLine, szCp949.data(), nMsg);
    nLine += nMsg;
    std::memcpy(szLine + nLine, kLineEnd, nEnd);
    nLine += nEnd;
    szLine[nLine] = '\0';

    char szPath[kPathBufSize];
    const int nPath = std::snprintf(szPath, sizeof szPath, "%s/%d/%d%02d%02d.%s", kLogRoot,
                                    lt.nYear, lt.nYear, lt.nMonth, lt.nDay, szStation);
    if (nPath <= 0 || static_cast<size_t>(nPath) >= sizeof szPath) return;

    FILE* pFile = pEnv->OpenFile(szPath, "ab");
    if (pFile == nullptr) return;  // no year directory, no disk: the line is lost
    std::fwrite(szLine, 1, nLine, pFile);
    std::fclose(pFile);
}

void WriteSystemLogF(const char* szFormat, ...) {
    char szBuf[kFormatBufSize];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(szBuf, sizeof szBuf, szFormat, args);
    va_end(args);
    WriteSystemLog(szBuf);
}

void DebugF(const char* szFormat, ...) {
    char szBuf[kFormatBufSize];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(szBuf, sizeof szBuf, szFormat, args);
    va_end(args);
    vplat::env()->DebugOutput(szBuf);
}

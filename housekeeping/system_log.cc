// The station's system log: every line for the record goes to the debug output and, once
// the main operation program's shared memory is open, is appended to the day's file
// "d:/System_Log/<year>/<yyyymmdd>.<station text>" in the Korean code page with a CR LF
// end. The file is opened and closed for each line and written with one call, so lines of
// the dialog thread and the link thread never mix. Directories are never created here.
//
// A message mixes the program's own UTF-8 text, converted to CP949, with bytes from
// outside (CP949 plate numbers, the station text, SMS texts, file names) that must reach
// the file as they are. LogBytes wraps such bytes as SOH, their upper-case hex digits and
// STX: no own text of the program contains those control bytes, hex digits survive any
// printf width, and every byte value of the outside text fits. The station text of the
// line's tag and of the file name is copied raw as well.
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
constexpr size_t kFormatBufSize = 4096;    // room for outside bytes as hex digits
constexpr const char* kLineEnd = " \r\n";  // the space after the message, then CR LF
constexpr char kRawBegin = '\x01';         // starts the hex digits of bytes from outside
constexpr char kRawEnd = '\x02';           // ends them
constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes of szMessage: the own text converted (bConvert) or kept, and every wrapped
// part decoded. A marker not followed by hex digit pairs and the end marker is own text;
// a wrapped part that the end of the message cut (a message longer than the format
// buffer) keeps its whole pairs, if it has any.
std::string ResolveMessage(const char* szMessage, bool bConvert) {
    const std::string szIn = szMessage;
    std::string szOut;
    std::string szOwn;
    auto FlushOwn = [&] {
        szOut += bConvert ? vplat::Utf8ToCp949(szOwn) : szOwn;
        szOwn.clear();
    };
    size_t i = 0;
    while (i < szIn.size()) {
        if (szIn[i] != kRawBegin) {
            szOwn += szIn[i++];
            continue;
        }
        std::string szRaw;
        size_t j = i + 1;
        bool bValid = true;
        while (j < szIn.size() && szIn[j] != kRawEnd) {
            const int nHigh = HexValue(szIn[j]);
            const int nLow = j + 1 < szIn.size() ? HexValue(szIn[j + 1]) : 0;
            if (nHigh < 0 || nLow < 0) {
                bValid = false;
                break;
            }
            if (j + 1 < szIn.size()) szRaw += static_cast<char>(nHigh * 16 + nLow);
            j += 2;
        }
        if (j >= szIn.size() && szRaw.empty()) bValid = false;  // a lone marker at the end
        if (!bValid) {
            szOwn += szIn[i++];
            continue;
        }
        FlushOwn();
        szOut += szRaw;
        i = j + 1;  // past the end marker (or the end of the message)
    }
    FlushOwn();
    return szOut;
}

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
    pEnv->DebugOutput(ResolveMessage(szMessage, false).c_str());

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
    const std::string szCp949 = ResolveMessage(szMessage, true);
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

std::string LogBytes(const char* p, size_t nMax) {
    std::string sz(1, kRawBegin);
    if (p != nullptr) {
        const size_t n = strnlen(p, nMax);
        sz.reserve(2 * n + 2);
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(p[i]);
            sz += kHexDigits[c >> 4];
            sz += kHexDigits[c & 0x0F];
        }
    }
    sz += kRawEnd;
    return sz;
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
    vplat::Env* pEnv = vplat::env();
    if (!pEnv->DebugWanted()) return;  // per-packet lines cost nothing with debug output off
    char szBuf[kFormatBufSize];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(szBuf, sizeof szBuf, szFormat, args);
    va_end(args);
    pEnv->DebugOutput(szBuf);
}

// The Manager PC's commands that act on the station as a whole: the time query and
// clock setting (57), the change of the violation-file destination (72), the start of a
// program update (79) and a request passed on to the supervisor program (58). They run
// on the link thread; their pauses and synchronous window messages hold the link.
#include <cstdio>
#include <cstring>

#include "app/resource.h"
#include "app/siblings.h"
#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "housekeeping/system_log.h"
#include "platform/platform.h"
#include "status/time_format.h"

namespace {

constexpr int kTimeTextDigits = 14;            // YYYYMMDDhhmmss
constexpr int kTimeBufSize = 16;               // zeroed buffer holding the time text
constexpr int kClockSkewLimit = 5;             // seconds ahead of the center before "ERROR"
constexpr uint32_t kClockSetPauseMs = 10;      // pause before telling Harwent
constexpr uint32_t kUpdateClosePauseMs = 50;   // between the two WM_DESTROY to Quillamor
constexpr uint32_t kUpdateStartPauseMs = 500;  // before the receiver is started again
constexpr int kUpdateCommandSize = 64;         // command line of the update receiver
constexpr int kShowNormal = 1;                 // SW_SHOWNORMAL
constexpr int kStdServerMinVersion = 2000;     // STD_SERVER_VERSION that supports destination 0

// WM_USER+14 (code, value) to the main operation program, looked up now.
void TellHarwent(int nCode, int32_t nValue) {
    sib::SendToSibling(sib::kHarwent, sib::WM_DEVICE, static_cast<uintptr_t>(nCode),
                       static_cast<intptr_t>(nValue));
}

// Copies at most nMax bytes of the command data into a zeroed buffer of nSize bytes
// (nMax < nSize, so the result is always terminated).
void CopyCommandData(char* szOut, size_t nSize, const uint8_t* pData, int nLength, int nMax) {
    std::memset(szOut, 0, nSize);
    if (pData == nullptr || nLength <= 0) return;
    size_t nTake = static_cast<size_t>(nLength < nMax ? nLength : nMax);
    if (nTake >= nSize) nTake = nSize - 1;
    std::memcpy(szOut, pData, nTake);
}

// The time text as it may go into a log line: control characters (a line break from a
// broken frame would split the record) become '?'.
void PrintableCopy(char* szOut, const char* szIn, size_t nSize) {
    size_t i = 0;
    for (; i + 1 < nSize && szIn[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(szIn[i]);
        szOut[i] = (c < 0x20 || c == 0x7F) ? '?' : szIn[i];
    }
    szOut[i] = '\0';
}

bool IsLeapYear(int nYear) { return (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0; }

// True when the fields name a real calendar time that a clock can be set to (the range
// SetLocalTime accepts: years 1601-30827, months 1-12, days of that month, 0-23:59:59).
bool IsSettableTime(const vplat::LocalTime& t) {
    static const int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.nYear < 1601 || t.nYear > 30827) return false;
    if (t.nMonth < 1 || t.nMonth > 12) return false;
    int nDays = kDaysInMonth[t.nMonth - 1] + ((t.nMonth == 2 && IsLeapYear(t.nYear)) ? 1 : 0);
    if (t.nDay < 1 || t.nDay > nDays) return false;
    if (t.nHour < 0 || t.nHour > 23) return false;
    if (t.nMinute < 0 || t.nMinute > 59) return false;
    return t.nSecond >= 0 && t.nSecond <= 59;
}

}  // namespace

void CCenterSession::OnTimeSet(const uint8_t* pData, int nLength, int nConn) {
    CVelmoraDlg* pDlg = m_pDlg;
    if (pDlg == nullptr) return;
    // Without data the center asks for the station's time.
    if (nLength <= 0) {
        SendTimeReport(nConn);
        return;
    }
    // The clock is set only in normal operation.
    if (pDlg->m_nOperationMode != 0) return;

    char szTime[kTimeBufSize];
    CopyCommandData(szTime, sizeof szTime, pData, nLength, kTimeTextDigits);
    int64_t tCenter = ParseTimeDigits(szTime, sizeof szTime);
    // Seconds the station's clock runs ahead of the center; computed as is even when
    // the text is not a time (then the line is labelled as an error).
    int32_t nDiff = static_cast<int32_t>(vplat::env()->Time64() - tCenter);

    char szShown[kTimeBufSize];
    PrintableCopy(szShown, szTime, sizeof szShown);
    if (nDiff > kClockSkewLimit) {
        WriteSystemLogF("****** ERROR Time : MGR_PC_TIME_CHANGE => %s [차이:%d]",
                        LogBytes(szShown).c_str(), nDiff);
    } else {
        WriteSystemLogF("MGR_PC_TIME_CHANGE => %s", LogBytes(szShown).c_str());
    }

    vplat::LocalTime stNew;
    ParseTimeDigitsToSystemTime(&stNew, szTime, sizeof szTime);
    // A text that names no real time (month 13, day 0, letters) never reaches the clock:
    // the station keeps its time and says so. The main operation program is told in
    // either case, as it re-reads the time itself.
    if (tCenter != -1 && IsSettableTime(stNew)) {
        vplat::env()->SetLocalClock(stNew);
    } else {
        DebugF("MGR_PC_TIME_CHANGE => %s: not a valid time, clock unchanged", szShown);
    }

    vplat::env()->SleepMs(kClockSetPauseMs);
    TellHarwent(sib::kCodeTimeSet, 0);
}

void CCenterSession::OnSendTargetChange(const uint8_t* pData, int nLength) {
    CVelmoraDlg* pDlg = m_pDlg;
    if (pDlg == nullptr) return;
    char szData[4];
    CopyCommandData(szData, sizeof szData, pData, nLength, 2);
    int nNew = static_cast<signed char>(szData[0]) - '0';
    int nSave = static_cast<signed char>(szData[1]) - '0';

    WriteSystemLogF("MGR_PC: 위반화일 전송 시스템 변경 = %d->%d [Save: %d]",
                    pDlg->m_nVolFileSendSystem.load(), nNew, nSave);
    pDlg->m_nVolFileSendSystem = nNew;
    // Told before the check below, so the main operation program gets the value as the
    // center sent it.
    if (nSave == 1) TellHarwent(sib::kCodeSendTarget, nNew);

    if (nNew == 0) {
        // Sending to the standard server needs a standard-server version that supports
        // it (STD_SERVER_VERSION); older stations stay with the Manager PC.
        if (pDlg->m_nStdServerVersion >= kStdServerMinVersion) {
            pDlg->SetItemText(IDC_SEND_STATE, "표준서버로 전송 변경.....");
            return;
        }
        pDlg->m_nVolFileSendSystem = 1;
    }
    pDlg->SetItemText(IDC_SEND_STATE, "관리PC로 전송 변경.....");
}

void CCenterSession::OnProgramUpdate() {
    CVelmoraDlg* pDlg = m_pDlg;
    if (pDlg == nullptr) return;
    vplat::Env* pEnv = vplat::env();
    // A receiver still running is asked twice to end before a fresh one starts.
    if (!pEnv->FindWindowTitle(sib::kQuillamor).IsNull()) {
        sib::SendToSibling(sib::kQuillamor, sib::WM_DESTROY_, 0, 0);
        pEnv->SleepMs(kUpdateClosePauseMs);
        sib::SendToSibling(sib::kQuillamor, sib::WM_DESTROY_, 0, 0);
        pEnv->SleepMs(kUpdateStartPauseMs);
    }
    char szCommand[kUpdateCommandSize] = {};
    std::snprintf(szCommand, sizeof szCommand, "%.*s/%s", static_cast<int>(sizeof pDlg->m_szBinDir),
                  pDlg->m_szBinDir, sib::kQuillamorExe);
    pEnv->StartProgram(szCommand, kShowNormal);
}

void CCenterSession::OnSupervisorRequest(int nOpcode, const uint8_t* pData, int nLength) {
    CVelmoraDlg* pDlg = m_pDlg;
    if (pDlg == nullptr) return;
    pDlg->ShowFrameCode(2, nOpcode, 1);
    char szData[4];
    CopyCommandData(szData, sizeof szData, pData, nLength, 1);
    int nDigit = static_cast<signed char>(szData[0]) - '0';
    if (nDigit == 0) return;

    // A missing supervisor loses the request.
    if (nDigit == 1 || nDigit == 2) {
        sib::SendToSibling(sib::kMorwick, sib::WM_SUPERVISOR, sib::kCodeSupervisorOn, 1);
    } else if (nDigit == 3) {
        sib::SendToSibling(sib::kMorwick, sib::WM_SUPERVISOR, sib::kCodeSupervisorOff, 0);
    }
}

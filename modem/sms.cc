// The SMS wake-up of a CDMA station: one read from the modem is either the new-SMS
// notice, answered with the AT command that fetches the SMS, or the SMS answer itself,
// whose time, sender and hex-coded text are checked before a "CONNECT" from the center
// dials the link. Runs on the serial thread.
#include <cstdio>
#include <cstring>

#include "app/velmora_dlg.h"
#include "housekeeping/system_log.h"
#include "modem/sms_parse.h"
#include "status/time_format.h"

namespace {

constexpr int64_t kSmsMaxAgeSeconds = 10;  // an older SMS is stale

}  // namespace

void CVelmoraDlg::OnSerialReceive(int /*nQueued: the read is always of up to 512 bytes*/) {
    char szBuf[kModemReadMax + 1];
    std::memset(szBuf, 0, sizeof szBuf);
    int nRead = 0;
    {
        std::lock_guard<std::mutex> lock(m_csPort);
        if (m_hComPort.IsOpen()) ReadComm(m_hComPort, szBuf, kModemReadMax, &nRead);
    }
    if (nRead < 1 || nRead > kModemReadMax || m_nCenterCommKind == 0) return;
    DebugF("READ :%s[%d]", szBuf, nRead);
    switch (ClassifyModemRead(szBuf, nRead)) {
        case ModemLineKind::kSmsNotice:
            RequestSmsRead();
            break;
        case ModemLineKind::kSmsAnswer:
            if (m_pSession != nullptr) m_pSession->OnSmsMessage(szBuf + 2, nRead - 2);
            break;
        case ModemLineKind::kIgnored:
            break;
    }
}

void CVelmoraDlg::RequestSmsRead() {
    if (m_nCenterCommKind == 0) return;
    char szCommand[32] = {};  // zeros: the debug line below prints it as a text
    static_assert(kSmsReadCommandLen < static_cast<int>(sizeof szCommand), "the command fits");
    std::memcpy(szCommand, kSmsReadCommand, kSmsReadCommandLen);
    DebugF("MAKE SMS : S:%d, D:%s", kSmsReadCommandLen, szCommand);
    WriteSms(szCommand, kSmsReadCommandLen);
}

int CVelmoraDlg::WriteSms(const char* pBytes, int nLength) {
    if (pBytes == nullptr || nLength <= 0) return 0;
    {
        std::lock_guard<std::mutex> lock(m_csPort);
        if (!m_hComPort.IsOpen()) return 0;
        int nWritten = 0;
        WriteComm(m_hComPort, pBytes, nLength, &nWritten);  // its result is not needed
    }
    DebugF("Write SMS READ : S:%d, D:%.*s", nLength, nLength, pBytes);
    return 1;
}

void CCenterSession::OnSmsMessage(const char* szLine, int nLength) {
    CVelmoraDlg* pDlg = g_pMainDlg;
    if (pDlg == nullptr) return;

    SmsFields fields;
    SplitSmsLine(szLine, nLength, &fields);

    // Only a fresh SMS counts; one from the future passes.
    const int64_t nDiff = vplat::env()->Time64() - ParseTimeDigits(fields.szTime, sizeof fields.szTime);
    if (nDiff > kSmsMaxAgeSeconds) {
        WriteSystemLogF("현재시간과 차이가 크다 [%lld] = %s", static_cast<long long>(nDiff),
                        LogBytes(fields.szTime).c_str());
        return;
    }

    // In normal operation only the center's own number may wake the station.
    if (pDlg->m_nOperationMode == 0 &&
        !EqualsNoCase(fields.szSender, pDlg->m_szCdmaTelNumber, sizeof pDlg->m_szCdmaTelNumber)) {
        WriteSystemLogF("SMS Center Tel Number이 아님 : %s", LogBytes(fields.szSender).c_str());
        return;
    }

    char szText[kSmsTextBufSize];
    DecodeSmsHex(fields.szHexText, szText);
    WriteSystemLogF("CDMA Control [%s] = %s", LogBytes(fields.szTime).c_str(),
                    LogBytes(szText).c_str());
    if (EqualsNoCase(szText, "CONNECT", sizeof szText)) {
        pDlg->StartCdmaLink();
        DebugF("Create CDMA Modem - 센터에서 CONNECT 명령 수신 !!!");
    }
}

// CSerialComm: reads, writes and the closing of the modem port, each under m_csComm so
// that a read and a write never overlap on the port whichever thread makes them. The
// port itself is the platform's serial device; failures only reach the debug output, as
// "[<error code of the operating system>]ReadFile error!" (or WriteFile).
#include "modem/serial_comm.h"

#include "housekeeping/system_log.h"

int CSerialComm::ReadComm(vplat::SerialHandle h, void* pBuf, int nLength, int* pnRead) {
    std::lock_guard<std::mutex> lock(m_csComm);
    int nRead = 0;
    int nError = 0;
    if (pBuf != nullptr && nLength > 0) nRead = vplat::env()->SerialRead(h, pBuf, nLength, &nError);
    if (nRead < 0 || nRead > nLength) {
        DebugF("[%d]%s", nError, "ReadFile error!");
        nRead = 0;
    }
    if (pnRead != nullptr) *pnRead = nRead;
    return 1;
}

int CSerialComm::WriteComm(vplat::SerialHandle h, const void* pBytes, int nLength, int* pnWritten) {
    std::lock_guard<std::mutex> lock(m_csComm);
    if (pnWritten != nullptr) *pnWritten = 0;
    vplat::env()->SleepMs(5);
    int nWritten = 0;
    int nError = 0;
    if (pBytes != nullptr && nLength > 0) {
        nWritten = vplat::env()->SerialWrite(h, pBytes, nLength, &nError);
    }
    if (nWritten < 0) {
        DebugF("[%d]%s", nError, "WriteFile error!");
        return 0;
    }
    if (pnWritten != nullptr) *pnWritten = nWritten;
    vplat::env()->SleepMs(5);
    return 1;
}

int CSerialComm::CloseComm(vplat::SerialHandle h) {
    std::lock_guard<std::mutex> lock(m_csComm);
    if (h.IsOpen()) vplat::env()->SerialClose(h);
    return 1;
}

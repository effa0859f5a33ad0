// HostEnv's serial port on Win32: "COMn" opened as "\\\\.\\COMn" for overlapped I/O, 8N1 without
// flow control at the asked speed, DTR and RTS raised; reads return at once with what is
// queued (interval time-out MAXDWORD). SerialWait waits for EV_RXCHAR together with the
// stop event and reports the queue count from ClearCommError; a port whose driver stops
// answering (a USB modem pulled out) reports -2.
#include <windows.h>

#include <string>

#include "platform/win32/event_win32.h"
#include "platform/win32/win32_env.h"

namespace vplat {

namespace {

constexpr DWORD kWriteTimeoutMs = 5000;  // a write the port cannot take in this long fails

// "COM3" -> "\\\\.\\COM3"; other names (already "\\\\.\\..." or a device path) stay.
std::string SerialDeviceName(const char* szDevice) {
    const std::string s = szDevice != nullptr ? szDevice : "";
    return hosttext::IsComPortName(s) ? "\\\\.\\" + s : s;
}

bool IsSupportedBaud(int nBaud) {
    switch (nBaud) {
        case 1200:
        case 2400:
        case 4800:
        case 9600:
        case 19200:
        case 38400:
        case 57600:
        case 115200:
        case 230400:
            return true;
        default:
            return false;
    }
}

HANDLE Port(SerialHandle h) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h.nHandle)); }

// Bytes waiting in the driver's input queue; -1 when the port no longer answers.
int QueuedInput(HANDLE hPort) {
    DWORD nErrors = 0;
    COMSTAT stat{};
    if (!ClearCommError(hPort, &nErrors, &stat)) return -1;
    return stat.cbInQue > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(stat.cbInQue);
}

// Runs one overlapped read or write to its end (the time-outs of the port bound it).
// -1 with GetLastError in *pnError on failure.
int Transfer(HANDLE hPort, void* pBuf, int nSize, bool bWrite, int* pnError) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) {
        *pnError = static_cast<int>(GetLastError());
        return -1;
    }
    DWORD nDone = 0;
    BOOL bOk = bWrite ? WriteFile(hPort, pBuf, static_cast<DWORD>(nSize), &nDone, &ov)
                      : ReadFile(hPort, pBuf, static_cast<DWORD>(nSize), &nDone, &ov);
    if (!bOk && GetLastError() == ERROR_IO_PENDING) {
        bOk = GetOverlappedResult(hPort, &ov, &nDone, TRUE);
    }
    const DWORD nError = bOk ? 0 : GetLastError();
    CloseHandle(ov.hEvent);
    if (!bOk) {
        *pnError = static_cast<int>(nError);
        return -1;
    }
    return static_cast<int>(nDone);
}

}  // namespace

bool HostEnv::SerialDeviceExists(const char* szDevice) {
    // A COM port cannot be looked at without opening it: opened for no access at all.
    const HANDLE h = CreateFileA(SerialDeviceName(szDevice).c_str(), 0, 0, nullptr, OPEN_EXISTING,
                                 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED;  // held
    CloseHandle(h);
    return true;
}

SerialHandle HostEnv::SerialOpen(const char* szDevice, int nBaud) {
    const std::string szName = SerialDeviceName(szDevice);
    if (!IsSupportedBaud(nBaud)) {
        DebugOutput(("SerialOpen: unsupported speed " + std::to_string(nBaud)).c_str());
        return {};
    }
    HANDLE hPort = CreateFileA(szName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (hPort == INVALID_HANDLE_VALUE) {
        DebugFailure("SerialOpen", szName, GetLastError());
        return {};
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(hPort, &dcb)) {
        DebugFailure("GetCommState", szName, GetLastError());
        CloseHandle(hPort);
        return {};
    }
    dcb.BaudRate = static_cast<DWORD>(nBaud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // with both read totals 0: return at once
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    if (!SetCommState(hPort, &dcb) || !SetCommTimeouts(hPort, &timeouts) ||
        !SetCommMask(hPort, EV_RXCHAR)) {
        DebugFailure("SetCommState", szName, GetLastError());
        CloseHandle(hPort);
        return {};
    }
    PurgeComm(hPort, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    return SerialHandle{static_cast<int64_t>(reinterpret_cast<intptr_t>(hPort))};
}

int HostEnv::SerialWait(SerialHandle h, Event* pStop, uint32_t nTimeoutMs, int* pnQueued) {
    if (pnQueued != nullptr) *pnQueued = 0;
    if (!h.IsOpen()) return -2;
    HANDLE hPort = Port(h);
    auto* pStopEvent = static_cast<Win32Event*>(pStop);
    const bool bForever = nTimeoutMs == 0xFFFFFFFFu;
    const ULONGLONG nDeadline = GetTickCount64() + ScaleMs(nTimeoutMs);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) return -2;
    int nResult = 0;
    for (;;) {
        const int nQueued = QueuedInput(hPort);
        if (nQueued < 0) {
            nResult = -2;
            break;
        }
        if (nQueued > 0) {
            if (pnQueued != nullptr) *pnQueued = nQueued;
            nResult = 1;
            break;
        }
        ResetEvent(ov.hEvent);
        DWORD nMask = 0;
        if (!WaitCommEvent(hPort, &nMask, &ov) && GetLastError() != ERROR_IO_PENDING) {
            nResult = -2;
            break;
        }
        const ULONGLONG nNow = GetTickCount64();
        const DWORD nWait =
            bForever ? INFINITE : (nNow >= nDeadline ? 0 : static_cast<DWORD>(nDeadline - nNow));
        HANDLE handles[2] = {ov.hEvent, pStopEvent != nullptr ? pStopEvent->Handle() : nullptr};
        const DWORD r =
            WaitForMultipleObjects(pStopEvent != nullptr ? 2 : 1, handles, FALSE, nWait);
        if (r != WAIT_OBJECT_0) {
            // Stop or time-out: the pending wait must end before ov goes away.
            SetCommMask(hPort, EV_RXCHAR);  // completes a pending WaitCommEvent
            CancelIoEx(hPort, &ov);
            DWORD nIgnored = 0;
            GetOverlappedResult(hPort, &ov, &nIgnored, TRUE);
            if (r == WAIT_OBJECT_0 + 1) {
                nResult = -1;
            } else if (r == WAIT_TIMEOUT) {
                nResult = 0;
            } else {
                nResult = -2;
            }
            break;
        }
        DWORD nIgnored = 0;
        if (!GetOverlappedResult(hPort, &ov, &nIgnored, FALSE)) {
            // An aborted wait (a mask change; Wine's driver on a pseudo-terminal aborts
            // now and then by itself) is no event; the port answers ClearCommError above
            // while it is there.
            if (GetLastError() != ERROR_OPERATION_ABORTED) {
                nResult = -2;
                break;
            }
            nMask = 0;
        }
        // Without an event a short pause keeps a driver that ends waits early from
        // turning the wait into a busy loop.
        if ((nMask & EV_RXCHAR) == 0) Sleep(5);
        // EV_RXCHAR: the queue is looked at again at the top; a wait that ended with
        // nothing queued goes on until the deadline.
        if (!bForever && GetTickCount64() >= nDeadline && QueuedInput(hPort) == 0) {
            nResult = 0;
            break;
        }
    }
    CloseHandle(ov.hEvent);
    return nResult;
}

const int HostEnv::kSerialBadHandle = ERROR_INVALID_HANDLE;
const int HostEnv::kSerialBadArgument = ERROR_INVALID_PARAMETER;

int HostEnv::SerialTransfer(SerialHandle h, void* pBuf, int nSize, bool bWrite, int* pnError) {
    const int n = Transfer(Port(h), pBuf, nSize, bWrite, pnError);
    if (!bWrite || n != 0) return n;
    *pnError = ERROR_WRITE_FAULT;  // the write time-out passed with nothing taken
    return -1;
}

void HostEnv::SerialClose(SerialHandle h) {
    if (!h.IsOpen()) return;
    HANDLE hPort = Port(h);
    EscapeCommFunction(hPort, CLRDTR);
    PurgeComm(hPort, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    CloseHandle(hPort);
}

}  // namespace vplat

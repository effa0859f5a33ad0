// CSerialComm: the modem port of a CDMA station, read and written under one lock.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/platform.h"

class CSerialComm {
public:
    CSerialComm() = default;
    CSerialComm(const CSerialComm&) = delete;
    CSerialComm& operator=(const CSerialComm&) = delete;

    // A locked read of up to nLength bytes; *pnRead = bytes read (0 on error). Always 1.
    int ReadComm(vplat::SerialHandle h, void* pBuf, int nLength, int* pnRead);
    // A locked write; 1 when written, 0 on failure; *pnWritten = bytes written.
    int WriteComm(vplat::SerialHandle h, const void* pBytes, int nLength, int* pnWritten);
    // Releases the modem lines, purges and closes. Always 1.
    int CloseComm(vplat::SerialHandle h);

    std::mutex m_csComm;  // serialises reads and writes on the port
    // Guards the life of the dialog's port handle: taken (before m_csComm) by whoever
    // opens, uses or closes it, so no thread reads or writes a handle another closed.
    std::mutex m_csPort;
    std::atomic<int> m_bReopenPort{0};  // the serial thread is to retry opening the configured port
};

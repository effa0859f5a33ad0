// HostEnv's serial port on POSIX: a termios device in raw mode (VMIN/VTIME 0), waited on with poll
// together with a stop event. "COMn" names map to VELMORA_COMn when that is set, else to
// /dev/ttyS(n-1); other names are host device paths (a pseudo-terminal in tests).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/event_posix.h"
#include "platform/posix/posix_env.h"

namespace vplat {

namespace {

// "COM3", "\\\\.\\COM3" -> the host device.
std::string SerialDevicePath(const char* szDevice) {
    std::string s = szDevice != nullptr ? szDevice : "";
    if (s.rfind("\\\\.\\", 0) == 0) s = s.substr(4);
    if (!hosttext::IsComPortName(s)) return s;
    const char* szMapped = std::getenv(("VELMORA_COM" + s.substr(3)).c_str());
    if (szMapped != nullptr && *szMapped != '\0') return szMapped;
    const int nPort = std::atoi(s.c_str() + 3);
    return "/dev/ttyS" + std::to_string(nPort > 0 ? nPort - 1 : 0);
}

speed_t BaudConstant(int nBaud) {
    switch (nBaud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return B0;
    }
}

int Fd(SerialHandle h) { return static_cast<int>(h.nHandle); }

}  // namespace

bool HostEnv::SerialDeviceExists(const char* szDevice) {
    return access(SerialDevicePath(szDevice).c_str(), F_OK) == 0;
}

SerialHandle HostEnv::SerialOpen(const char* szDevice, int nBaud) {
    const std::string szPath = SerialDevicePath(szDevice);
    const speed_t nSpeed = BaudConstant(nBaud);
    if (nSpeed == B0) {
        DebugOutput(("SerialOpen: unsupported speed " + std::to_string(nBaud)).c_str());
        return {};
    }
    const int nFd = open(szPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (nFd < 0) {
        DebugFailure("SerialOpen", szPath, errno);
        return {};
    }
    termios tio{};
    if (tcgetattr(nFd, &tio) != 0) {
        DebugFailure("tcgetattr", szPath, errno);
        close(nFd);
        return {};
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, nSpeed);
    cfsetospeed(&tio, nSpeed);
    if (tcsetattr(nFd, TCSANOW, &tio) != 0) {
        DebugFailure("tcsetattr", szPath, errno);
        close(nFd);
        return {};
    }
    tcflush(nFd, TCIOFLUSH);
    return SerialHandle{nFd};
}

int HostEnv::SerialWait(SerialHandle h, Event* pStop, uint32_t nTimeoutMs, int* pnQueued) {
    using Clock = std::chrono::steady_clock;
    if (pnQueued != nullptr) *pnQueued = 0;
    if (!h.IsOpen()) return -2;
    auto* pStopEvent = static_cast<PosixEvent*>(pStop);
    pollfd pfds[2] = {{Fd(h), POLLIN, 0},
                      {pStopEvent != nullptr ? pStopEvent->Fd() : -1, POLLIN, 0}};
    const bool bForever = nTimeoutMs == 0xFFFFFFFFu;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(ScaleMs(nTimeoutMs));
    for (;;) {
        int nWait = -1;
        if (!bForever) {
            nWait = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count());
            if (nWait < 0) nWait = 0;
        }
        const int nReady = poll(pfds, 2, nWait);  // a fd of -1 is skipped by poll
        if (nReady < 0) {
            if (errno == EINTR) continue;
            return -2;
        }
        if (nReady == 0) return 0;
        if ((pfds[1].revents & POLLIN) != 0 && pStopEvent->TakeSignal()) return -1;
        if ((pfds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return -2;
        if ((pfds[0].revents & POLLIN) != 0) {
            int nQueued = 0;
            if (ioctl(Fd(h), FIONREAD, &nQueued) != 0) return -2;
            if (nQueued <= 0) return -2;  // readable with nothing queued: the device went away
            if (pnQueued != nullptr) *pnQueued = nQueued;
            return 1;
        }
    }
}

const int HostEnv::kSerialBadHandle = EBADF;
const int HostEnv::kSerialBadArgument = EINVAL;

// Reads what is queued, or writes all of it (waiting a little while the device is full).
int HostEnv::SerialTransfer(SerialHandle h, void* pBuf, int nSize, bool bWrite, int* pnError) {
    while (!bWrite) {
        const ssize_t n = read(Fd(h), pBuf, static_cast<size_t>(nSize));
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        *pnError = errno;
        return -1;
    }
    const char* p = static_cast<const char*>(pBuf);
    int nDone = 0;
    int nStalls = 0;
    while (nDone < nSize) {
        const ssize_t n = write(Fd(h), p + nDone, static_cast<size_t>(nSize - nDone));
        if (n > 0) {
            nDone += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && nStalls++ < 100) {
            pollfd pfd{Fd(h), POLLOUT, 0};
            poll(&pfd, 1, 10);
            continue;
        }
        if (nDone > 0) return nDone;
        *pnError = n < 0 ? errno : EIO;
        return -1;
    }
    return nDone;
}

void HostEnv::SerialClose(SerialHandle h) {
    if (!h.IsOpen()) return;
    int nDtr = TIOCM_DTR;
    ioctl(Fd(h), TIOCMBIC, &nDtr);  // fails on a pseudo-terminal; nothing to drop there
    tcflush(Fd(h), TCIOFLUSH);
    close(Fd(h));
}

}  // namespace vplat

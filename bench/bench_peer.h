// The network side of the benchmarks that run the station's real programs: manager frames
// as the Manager PC sends them, a minimal Manager PC that acknowledges every file packet at
// once and time-stamps frames at its socket (on a thread of its own), and the stop-and-wait
// floor of loopback TCP: a ping-pong between two sockets with TCP_NODELAY.
#pragma once

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_rig.h"
#include "link/tcp_common.h"

namespace vbench {
// A manager frame from the Manager PC to station ABCDE.
inline std::vector<uint8_t> CenterFrame(int nCode, int nPacket, const std::vector<uint8_t>& data) {
    const int nLength = kFrameOverhead + static_cast<int>(data.size());
    std::vector<uint8_t> f(static_cast<size_t>(nLength), 0);
    char szHead[40] = {};
    std::snprintf(szHead, sizeof szHead, "%07d10%02d%07d%04dABCDE0", nLength, nCode % 100,
                  static_cast<int>(data.size()), nPacket % 10000);
    f[0] = f[1] = kFrameStart;
    std::memcpy(&f[2], szHead, 28);
    std::copy(data.begin(), data.end(), f.begin() + kFrameHeader);
    CTcpCommon::PutFrameCrc(f.data(), nLength);
    f[static_cast<size_t>(nLength - 2)] = f[static_cast<size_t>(nLength - 1)] = kFrameEnd;
    return f;
}

// ---- A minimal Manager PC inside the benchmark ----

// One violation file as the minimal Manager PC saw it.
struct FileRun {
    Clock::time_point tInfo;     // the info packet arrived
    Clock::time_point tLastAck;  // the acknowledgement of the last packet went out
    int nPackets = 0;            // packets received, the info packet included
    int nSize = 0;               // size announced in the info packet
    double dCpuUs = 0;           // CPU time of the serving thread, info packet to last ack
    double dWatchedUs = -1;      // the same of the watched thread (-1: none watched)
};

// Accepts one station, acknowledges every violation-file packet at once (status 1) and
// records the arrival time of every other frame, all on a thread of its own; frames are
// time-stamped right after the receive that completed them. The thread waits in a
// blocking receive (bounded by a receive time-out, so that it sees the end), as the
// floor's answering side does, and an acknowledgement is a copy of a finished one with
// the packet number and checksum put in: what the peer spends per packet adds to every
// round trip when both run on one core.
class MiniCenter {
  public:
    explicit MiniCenter(const std::string& szAddr) : m_nListen(ListenOn(szAddr, kManagerPort)) {
        if (m_nListen >= 0) m_thread = std::thread([this] { Run(); });
    }
    ~MiniCenter() {
        m_bStop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_nWatchFd >= 0) ::close(m_nWatchFd);
        if (m_nConn >= 0) ::close(m_nConn);
        if (m_nListen >= 0) ::close(m_nListen);
    }
    MiniCenter(const MiniCenter&) = delete;
    MiniCenter& operator=(const MiniCenter&) = delete;

    bool Listening() const { return m_nListen >= 0; }
    bool WaitConnected(Clock::duration timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_nConn >= 0; });
    }
    // Sends bytes to the station from any thread.
    bool Send(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        return SendAll(bytes.data(), bytes.size());
    }
    // The arrival of the first frame with code nCode at or after tAfter (waits at most timeout).
    bool WaitFrame(int nCode, Clock::time_point tAfter, Clock::duration timeout,
                   Clock::time_point* pAt) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const Clock::time_point tEnd = Clock::now() + timeout;
        for (;;) {
            for (const auto& [nGot, tAt] : m_frames) {
                if (nGot != nCode || tAt < tAfter) continue;
                *pAt = tAt;
                return true;
            }
            if (m_cv.wait_until(lock, tEnd) == std::cv_status::timeout) return false;
        }
    }
    // The next violation file completed (waits at most timeout).
    bool WaitFile(Clock::duration timeout, FileRun* pOut) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, timeout, [&] { return m_nFilesTaken < m_files.size(); }))
            return false;
        *pOut = m_files[m_nFilesTaken++];
        return true;
    }
    // From the next file on, the CPU time of thread nTid (the station's link thread) from
    // the info packet to the last acknowledgement goes to FileRun::dWatchedUs: read at
    // those two moments on the serving thread, from a file opened here once.
    void WatchThread(long nTid) {
        const int fd =
            ::open(("/proc/" + std::to_string(nTid) + "/schedstat").c_str(), O_RDONLY | O_CLOEXEC);
        const int nOld = m_nWatchFd.exchange(fd);
        if (nOld >= 0) ::close(nOld);
    }
    // Frames received so far (every code).
    size_t FramesSeen() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames.size() + m_nFilePackets;
    }
    void ForgetFrames() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.clear();
    }

  private:
    bool SendAll(const uint8_t* p, size_t n) {
        while (n > 0 && m_nConn >= 0) {
            const ssize_t k = ::send(m_nConn, p, n, MSG_NOSIGNAL);
            if (k <= 0) return false;
            p += k;
            n -= static_cast<size_t>(k);
        }
        return n == 0;
    }
    void Run() {
        while (!m_bStop && m_nConn < 0) {
            pollfd p{m_nListen, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            const int fd = ::accept4(m_nListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            NoDelay(fd);
            const timeval tv{0, 50000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_nConn = fd;
            m_cv.notify_all();
        }
        std::vector<uint8_t> rx(1 << 16);
        size_t nFill = 0;
        while (!m_bStop) {
            const ssize_t n = ::recv(m_nConn, rx.data() + nFill, rx.size() - nFill, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
            if (n <= 0) break;
            const Clock::time_point tAt = Clock::now();
            nFill += static_cast<size_t>(n);
            // Whole frames are read where they lie (the station's frames are well formed).
            size_t nOffset = 0;
            while (nFill - nOffset >= static_cast<size_t>(kFrameHeader)) {
                const uint8_t* pFrame = rx.data() + nOffset;
                const int nLength = FrameDecimal(pFrame + 2, 7);
                if (pFrame[0] != kFrameStart || nLength < kFrameOverhead || nLength > kRecvBufSize) {
                    nOffset = nFill;  // cannot happen with the station
                    break;
                }
                if (nFill - nOffset < static_cast<size_t>(nLength)) break;
                OnFrame(pFrame, tAt);
                nOffset += static_cast<size_t>(nLength);
            }
            std::memmove(rx.data(), rx.data() + nOffset, nFill - nOffset);
            nFill -= nOffset;
        }
    }
    // Time on a CPU of the watched thread in microseconds (its first schedstat field).
    double WatchedUs() const {
        char sz[128] = {};
        if (m_nWatchFdNow < 0 || ::pread(m_nWatchFdNow, sz, sizeof sz - 1, 0) <= 0) return 0;
        return std::atof(sz) / 1000.0;
    }
    void OnFrame(const uint8_t* pFrame, Clock::time_point tAt) {
        const int nCode = FrameDecimal(pFrame + 11, 2);
        if (nCode != 51) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_frames.emplace_back(nCode, tAt);
            m_cv.notify_all();
            return;
        }
        const int nPacket = FrameDecimal(pFrame + 20, 4);
        if (nPacket == 0) {
            m_current = FileRun{};
            m_current.tInfo = tAt;
            m_dCpuAtInfo = ThreadCpuUs();
            m_nWatchFdNow = m_nWatchFd.load();
            m_dWatchedAtInfo = WatchedUs();
            m_current.nSize = FrameDecimal(pFrame + kFrameHeader, 7);
            m_nTotal = (m_current.nSize + 2999) / 3000 + 1;
        }
        ++m_current.nPackets;
        // The acknowledgement: 37 bytes, status 1 for this packet.
        uint8_t ack[kFrameOverhead + 1];
        std::memcpy(ack, m_ack, sizeof ack);
        for (int k = 3, n = nPacket % 10000; k >= 0; --k, n /= 10)
            ack[20 + k] = static_cast<uint8_t>('0' + n % 10);
        CTcpCommon::PutFrameCrc(ack, sizeof ack);
        {
            std::lock_guard<std::mutex> lock(m_sendMutex);
            SendAll(ack, sizeof ack);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nFilePackets;
        if (nPacket == m_nTotal - 1 && m_nTotal >= 2) {
            m_current.tLastAck = Clock::now();
            m_current.dCpuUs = ThreadCpuUs() - m_dCpuAtInfo;
            if (m_nWatchFdNow >= 0) m_current.dWatchedUs = WatchedUs() - m_dWatchedAtInfo;
            m_files.push_back(m_current);
            m_cv.notify_all();
        }
    }

    // A finished acknowledgement of packet 0 with status 1, the model of every one.
    static constexpr uint8_t m_ack[kFrameOverhead + 1] = {
        kFrameStart, kFrameStart, '0', '0', '0', '0', '0', '3', '7', '1', '0', '5', '1',
        '0', '0', '0', '0', '0', '0', '1', '0', '0', '0', '0', 'A', 'B', 'C', 'D', 'E', '0',
        1, 0, 0, 0, 0, kFrameEnd, kFrameEnd};
    int m_nListen;                                            // listening socket
    int m_nConn = -1;                                         // the station's connection
    std::atomic<bool> m_bStop{false};                         // ends the serving thread
    std::mutex m_mutex;                                       // guards what the waits read
    std::mutex m_sendMutex;                                   // one sender at a time
    std::condition_variable m_cv;                             // something was recorded
    std::vector<std::pair<int, Clock::time_point>> m_frames;  // (code, arrival) of non-file frames
    size_t m_nFilePackets = 0;                                // file packets acknowledged
    FileRun m_current;             // the file in transfer (serving thread)
    int m_nTotal = 0;              // its packets, the info packet included
    double m_dCpuAtInfo = 0;       // CPU time of the serving thread at its info packet
    std::atomic<int> m_nWatchFd{-1};  // schedstat of the watched thread, or -1
    int m_nWatchFdNow = -1;           // the one read for the file in transfer
    double m_dWatchedAtInfo = 0;      // the watched thread's CPU time at the info packet
    std::vector<FileRun> m_files;  // files completed
    size_t m_nFilesTaken = 0;      // files handed to WaitFile
    std::thread m_thread;          // the serving thread
};

// ---- The floor: stop-and-wait over loopback TCP ----

// nRounds round trips of nOut bytes out and nBack bytes back over loopback TCP with
// TCP_NODELAY, between this process and a child process, as the station and its Manager PC
// are two processes. The child answers with blocking calls, or with bEventDriven waits as
// the station's link thread does before it reads: in one poll on the socket and two
// events, then a look at the socket alone, then a read that does not block. The time of
// each round trip in microseconds goes to *pTrips; the whole in *pTotalUs; the CPU time
// both sides spent in the rounds (the process that sends and the one that answers) to
// *pCpuUs when asked.
inline bool PingPong(const std::string& szAddr, int nOut, int nBack, int nRounds,
                     std::vector<double>* pTrips, double* pTotalUs, bool bEventDriven = false,
                     double* pCpuUs = nullptr) {
    const int nListen = ListenOn(szAddr, 0);
    if (nListen < 0) return false;
    sockaddr_in a{};
    socklen_t nLen = sizeof a;
    ::getsockname(nListen, reinterpret_cast<sockaddr*>(&a), &nLen);
    const int nClient = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nClient < 0 || ::connect(nClient, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(nListen);
        if (nClient >= 0) ::close(nClient);
        return false;
    }
    const int nServer = ::accept4(nListen, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(nListen);
    NoDelay(nClient);
    NoDelay(nServer);
    auto ReadExactly = [](int fd, uint8_t* p, int n) {
        while (n > 0) {
            const ssize_t k = ::recv(fd, p, static_cast<size_t>(n), 0);
            if (k <= 0) return false;
            p += k;
            n -= static_cast<int>(k);
        }
        return true;
    };
    const int nEvent1 = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int nEvent2 = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    auto WaitThenRead = [&](int fd, uint8_t* p, int n) {
        while (n > 0) {
            pollfd wait[3] = {
                {nEvent1, POLLIN, 0}, {nEvent2, POLLIN, 0}, {fd, POLLIN | POLLRDHUP, 0}};
            pollfd look{fd, POLLIN | POLLRDHUP, 0};
            if (::poll(wait, 3, 3000) <= 0 || ::poll(&look, 1, 0) <= 0) continue;
            const ssize_t k = ::recv(fd, p, static_cast<size_t>(n), MSG_DONTWAIT);
            if (k == 0 || (k < 0 && errno != EAGAIN)) return false;
            if (k < 0) continue;
            p += k;
            n -= static_cast<int>(k);
        }
        return true;
    };
    // The child touches only what is allocated here (another thread may hold the heap).
    std::vector<uint8_t> echoIn(static_cast<size_t>(nOut));
    std::vector<uint8_t> echoOut(static_cast<size_t>(nBack), 0x55);
    // Where the answering process leaves the CPU time of its rounds.
    void* pShared = ::mmap(nullptr, sizeof(double), PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    auto* pChildCpuUs = pShared == MAP_FAILED ? nullptr : static_cast<double*>(pShared);
    if (pChildCpuUs != nullptr) *pChildCpuUs = 0;
    const pid_t nChild = ::fork();
    if (nChild == 0) {
        ::close(nClient);
        const double dCpu0 = ThreadCpuUs();
        for (int k = 0; k < nRounds; ++k) {
            if (!(bEventDriven ? WaitThenRead(nServer, echoIn.data(), nOut)
                               : ReadExactly(nServer, echoIn.data(), nOut)))
                break;
            if (::send(nServer, echoOut.data(), echoOut.size(), MSG_NOSIGNAL) != nBack) break;
        }
        if (pChildCpuUs != nullptr) *pChildCpuUs = ThreadCpuUs() - dCpu0;
        ::_exit(0);
    }
    ::close(nServer);
    std::vector<uint8_t> out(static_cast<size_t>(nOut), 0xAA);
    std::vector<uint8_t> in(static_cast<size_t>(nBack));
    pTrips->clear();
    bool bOk = true;
    const double dCpu0 = ThreadCpuUs();
    const Clock::time_point tStart = Clock::now();
    for (int k = 0; k < nRounds && bOk && nChild > 0; ++k) {
        const Clock::time_point t0 = Clock::now();
        bOk = ::send(nClient, out.data(), out.size(), MSG_NOSIGNAL) == nOut &&
              ReadExactly(nClient, in.data(), nBack);
        pTrips->push_back(Micros(Clock::now() - t0));
    }
    *pTotalUs = Micros(Clock::now() - tStart);
    const double dOwnCpuUs = ThreadCpuUs() - dCpu0;
    ::shutdown(nClient, SHUT_RDWR);
    if (nChild > 0) ::waitpid(nChild, nullptr, 0);
    if (pCpuUs != nullptr) *pCpuUs = dOwnCpuUs + (pChildCpuUs != nullptr ? *pChildCpuUs : 0);
    if (pChildCpuUs != nullptr) ::munmap(pShared, sizeof(double));
    ::close(nClient);
    ::close(nEvent1);
    ::close(nEvent2);
    return bOk && nChild > 0;
}

}  // namespace vbench
